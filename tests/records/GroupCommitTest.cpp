#include "records/GroupCommitUnit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Submit takes its item by value (a copy of the caller's) and moves that copy into its queue: the move tells
// that the item is queued. Moves within the queue tell nothing.
struct TItem {
    int Id;
    std::function<void()> Queued;
    TItem(int id, std::function<void()> queued) : Id(id), Queued(std::move(queued)) {}
    TItem(const TItem&) = default;
    TItem& operator=(const TItem&) = default;
    TItem(TItem&& other) noexcept : Id(other.Id) {
        if (other.Queued)
            other.Queued();
    }
};

class TGroupCommitTest : public ::testing::Test {
protected:
    // Submits id, noting whether it raised and whether a batch held its item when it returned. The first
    // batch waits for m_release; batch number m_failing raises.
    void Submit(int id) {
        TItem item(id, [this] { Note([&] { ++m_queued; }); });
        tCaller = id;
        bool threw = false;
        try {
            m_commit.Submit(item, [this](const std::vector<TItem>& batch) { StoreBatch(batch); });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        std::lock_guard guard(m_lock);
        m_threw[id] = threw;
        m_storedOnReturn[id] = std::any_of(m_batches.begin(), m_batches.end(), [&](const auto& batch) {
            return std::count(batch.begin(), batch.end(), id) == 1;
        });
    }

    void StoreBatch(const std::vector<TItem>& batch) {
        std::unique_lock guard(m_lock);
        const size_t number = m_batches.size();
        m_runners.push_back(tCaller);
        m_batches.emplace_back();
        for (const TItem& item : batch)
            m_batches.back().push_back(item.Id);
        m_changed.notify_all();
        m_changed.wait(guard, [&] { return m_release; });
        if (static_cast<int>(number) == m_failing)
            throw std::runtime_error("disk full");
    }

    void Note(const std::function<void()>& change) {
        std::lock_guard guard(m_lock);
        change();
        m_changed.notify_all();
    }
    void Await(const std::function<bool()>& condition) {
        std::unique_lock guard(m_lock);
        m_changed.wait(guard, condition);
    }

    // Item 0 alone in a first batch that waits until items 1 to count-1 have queued behind it.
    void QueueBehindFirstBatch(int count) {
        m_threads.emplace_back([this] { Submit(0); });
        Await([&] { return !m_batches.empty(); });
        for (int id = 1; id < count; ++id)
            m_threads.emplace_back([this, id] { Submit(id); });
        Await([&] { return m_queued == count; });
        Note([&] {
            EXPECT_TRUE(m_threw.empty()) << "a caller returned before its item was stored";
            m_release = true;
        });
        for (std::thread& thread : m_threads)
            thread.join();
    }

    TGroupCommit<TItem> m_commit;
    std::vector<std::thread> m_threads;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_release = false;
    int m_queued = 0, m_failing = -1;
    std::vector<std::vector<int>> m_batches; // the items of each batch
    std::vector<int> m_runners;              // the caller that ran each batch
    std::map<int, bool> m_threw, m_storedOnReturn;
    static thread_local int tCaller;
};

thread_local int TGroupCommitTest::tCaller = -1;

TEST_F(TGroupCommitTest, CallersQueuedBehindABatchShareTheNextAndReturnOnceItIsStored) {
    QueueBehindFirstBatch(6);
    ASSERT_EQ(m_batches.size(), 2u);
    std::sort(m_batches[1].begin(), m_batches[1].end());
    EXPECT_EQ(m_batches, (std::vector<std::vector<int>>{{0}, {1, 2, 3, 4, 5}}));
    for (int id = 0; id < 6; ++id) {
        EXPECT_TRUE(m_storedOnReturn[id]) << id;
        EXPECT_FALSE(m_threw[id]) << id;
    }
}

// What a batch raises reaches the caller that ran it, and no caller of another batch.
class TFailedBatchTest : public TGroupCommitTest, public ::testing::WithParamInterface<int> {};

TEST_P(TFailedBatchTest, RaisesInTheCallerThatRanIt) {
    m_failing = GetParam();
    QueueBehindFirstBatch(4);
    ASSERT_EQ(m_runners.size(), 2u);
    EXPECT_TRUE(m_threw[m_runners[m_failing]]);
    for (int id : m_batches[1 - m_failing])
        EXPECT_FALSE(m_threw[id]) << id;
    // Nobody was left holding the commit: the next caller is served.
    Submit(9);
    EXPECT_TRUE(m_storedOnReturn[9]);
    EXPECT_FALSE(m_threw[9]);
}

INSTANTIATE_TEST_SUITE_P(FirstOrSecond, TFailedBatchTest, ::testing::Values(0, 1));

TEST_F(TGroupCommitTest, ManyCallersStoreEveryItemOnce) {
    m_release = true;
    constexpr int kThreads = 4, kEach = 200;
    for (int t = 0; t < kThreads; ++t)
        m_threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i)
                Submit(t * kEach + i);
        });
    for (std::thread& thread : m_threads)
        thread.join();
    std::vector<int> stored, expected(kThreads * kEach);
    for (const std::vector<int>& batch : m_batches)
        stored.insert(stored.end(), batch.begin(), batch.end());
    std::sort(stored.begin(), stored.end());
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(stored, expected);
    EXPECT_TRUE(
        std::all_of(m_storedOnReturn.begin(), m_storedOnReturn.end(), [](auto& c) { return c.second; }));
}

} // namespace
