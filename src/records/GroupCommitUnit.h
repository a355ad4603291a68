#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

// Group commit: items that callers store at the same time share one commit, so that one disk sync serves
// them all. The first caller stores every item queued so far while later callers queue theirs; each call
// returns once a batch has covered its own item.
template <typename TItem> class TGroupCommit {
public:
    // storeBatch(const std::vector<TItem>&) stores one batch. What it raises passes to the caller that ran
    // it, after the next caller has been let take over.
    template <typename TStoreBatch> void Submit(TItem item, TStoreBatch&& storeBatch) {
        std::unique_lock<std::mutex> queue(m_lock);
        m_pending.push_back(std::move(item));
        const uint64_t mine = ++m_queued;
        while (m_stored < mine) {
            if (m_storing) {
                m_storedSignal.wait(queue);
                continue;
            }
            m_storing = true;
            std::vector<TItem> batch;
            batch.swap(m_pending);
            const uint64_t last = m_queued;
            queue.unlock();
            try {
                storeBatch(batch);
            } catch (...) {
                queue.lock();
                Stored(last);
                throw;
            }
            queue.lock();
            Stored(last);
        }
    }

private:
    void Stored(uint64_t last) {
        m_stored = last;
        m_storing = false;
        m_storedSignal.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_storedSignal;
    std::vector<TItem> m_pending;
    uint64_t m_queued = 0;
    uint64_t m_stored = 0;
    bool m_storing = false;
};
