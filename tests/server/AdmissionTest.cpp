#include "platform/CodePageUnit.h"
#include "platform/FairMutexUnit.h"
#include "server/AdmissionUnit.h"
#include "server/WorkerPoolUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

TClientKey V4(const char* text) {
    TIpv4 address = 0;
    EXPECT_TRUE(ParseIpv4(text, address)) << text;
    return TClientKey(address);
}

// 2001:db8:0:N::host
TClientKey V6(uint8_t network, uint8_t host) {
    std::array<uint8_t, 16> bytes{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, network};
    bytes[15] = host;
    return TClientKey::FromIpv6(bytes);
}

TEST(ClientKeyTest, AnIpv6ClientIsItsSlash64AndAMappedIpv4AddressItself) {
    EXPECT_EQ(V6(1, 5), V6(1, 200));
    EXPECT_NE(V6(1, 5), V6(2, 5));
    EXPECT_EQ(V6(1, 5).Text(), "2001:db8:0:1::/64");
    std::array<uint8_t, 16> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 7};
    EXPECT_EQ(TClientKey::FromIpv6(mapped), V4("10.0.0.7"));
    EXPECT_EQ(TClientKey::FromIpv6(mapped).Text(), "10.0.0.7");
    // An IPv6 /64 whose bits spell an IPv4 address is still another client.
    std::array<uint8_t, 16> low{0, 0, 0, 0, 10, 0, 0, 7};
    EXPECT_NE(TClientKey::FromIpv6(low), V4("10.0.0.7"));
}

// One step of a script: a connection admitted (a), its request read in full (w), its answer sent (d), or its
// close (r). Connections are numbered in the order they were admitted.
struct TStep {
    TStep(char anOp, TClientKey aClient, int aConnection = 0, bool anOk = true, int aClosed = -1,
          std::string aLine = "")
        : op(anOp), client(aClient), connection(aConnection), ok(anOk), closed(aClosed),
          line(std::move(aLine)) {}
    char op;
    TClientKey client; // for a
    int connection;    // for w, d, r
    bool ok;           // a: admitted; w: may start
    int closed;        // a: the connection closed to make room
    std::string line;  // the line due (UTF-8); empty: none
};

struct TAdmissionCase {
    const char* name;
    TAdmission::TLimits limits;
    std::vector<TStep> steps;
    size_t reading, working; // at the end
};

TIpv4Range Range(const char* text) {
    TIpv4Range range;
    EXPECT_TRUE(ParseIpv4Range(text, range));
    return range;
}

TEST(AdmissionTest, FollowsTheRulesStepByStep) {
    const TClientKey a = V4("10.0.0.1"), b = V4("10.0.0.2"), c = V4("10.0.0.3"), outside = V4("192.168.1.1");
    const TAdmissionCase cases[] = {
        {"allow-list",
         {{Range("10.0.0.0/8")}, 0, 0, 0},
         {{'a', a},
          {'a', outside, 0, false, -1, "拒绝来自 192.168.1.1 的连接"},
          {'a', outside, 0, false}, // once a minute
          {'a', V6(1, 1), 0, false, -1, "拒绝来自 2001:db8:0:1::/64 的连接"}},
         1,
         0},
        {"no list lets every client in, IPv6 ones too",
         {{}, 0, 0, 0},
         {{'a', outside}, {'a', V6(1, 1)}},
         2,
         0},
        {"cap per client, answered connections not counted",
         {{}, 0, 0, 2},
         {{'a', a},
          {'a', a},
          {'a', a, 0, false, -1, "来自 10.0.0.1 的连接数已达上限(2)，关闭新连接"},
          {'a', b},
          {'w', {}, 0},
          {'d', {}, 0},
          {'a', a},
          {'a', a, 0, false}},
         3,
         0},
        {"an IPv6 client is counted by its /64",
         {{}, 0, 0, 1},
         {{'a', V6(1, 1)},
          {'a', V6(1, 2), 0, false, -1, "来自 2001:db8:0:1::/64 的连接数已达上限(1)，关闭新连接"},
          {'a', V6(2, 1)}},
         2,
         0},
        {"reading cap: the client holding most makes room for one holding fewer",
         {{}, 0, 3, 0},
         {{'a', a},
          {'a', a},
          {'a', a},
          {'a', b, 0, true, 0, "正在接收请求的连接数已达上限(3)，关闭来自 10.0.0.1 的最早的连接"},
          // a holds 2, b 1: b would hold as many as a, so nobody makes room.
          {'a', b, 0, false, -1, "连接数已达上限(3)，关闭来自 10.0.0.2 的新连接"},
          {'a', c, 0, true, 1},
          {'r', {}, 0}}, // closed already in favour of b: ignored
         3,
         0},
        {"reading cap: a request in a worker no longer counts there",
         {{}, 0, 1, 0},
         {{'a', a},
          {'w', {}, 0},
          {'a', a},
          {'a', b, 0, false, -1, "连接数已达上限(1)，关闭来自 10.0.0.2 的新连接"}},
         1,
         1},
        {"workers' cap: a request over it is closed once read",
         {{}, 1, 0, 0},
         {{'a', a},
          {'a', b},
          {'w', {}, 0},
          {'w', {}, 1, false, -1, "连接数已达上限(1)，关闭来自 10.0.0.2 的新连接"},
          {'d', {}, 0},
          {'a', c},
          {'w', {}, 2}},
         1,
         1},
    };
    for (const TAdmissionCase& test : cases) {
        SCOPED_TRACE(test.name);
        TAdmission admission(test.limits);
        std::vector<TAdmission::TId> ids;
        const auto now = TAdmission::TClock::now();
        for (size_t i = 0; i < test.steps.size(); ++i) {
            const TStep& step = test.steps[i];
            SCOPED_TRACE(i);
            std::string line;
            switch (step.op) {
            case 'a': {
                const TAdmission::TDecision decision = admission.Admit(step.client, now);
                EXPECT_EQ(decision.Admitted, step.ok);
                if (decision.Admitted)
                    ids.push_back(decision.Id);
                EXPECT_EQ(decision.Closed.has_value(), step.closed >= 0);
                if (decision.Closed && step.closed >= 0) {
                    EXPECT_EQ(*decision.Closed, ids.at(static_cast<size_t>(step.closed)));
                }
                line = decision.Line;
                break;
            }
            case 'w':
                EXPECT_EQ(admission.StartWork(ids.at(static_cast<size_t>(step.connection)), now, line),
                          step.ok);
                break;
            case 'd':
                admission.Answered(ids.at(static_cast<size_t>(step.connection)));
                break;
            case 'r':
                admission.Remove(ids.at(static_cast<size_t>(step.connection)));
                break;
            }
            EXPECT_EQ(GbkToUtf8(line), step.line);
        }
        EXPECT_EQ(admission.Reading(), test.reading);
        EXPECT_EQ(admission.Working(), test.working);
    }
}

TEST(AdmissionTest, ClosedConnectionsLeaveNothingBehind) {
    TAdmission admission({{}, 0, 0, 0});
    std::vector<TAdmission::TId> ids;
    for (TIpv4 address = 1; address <= 100; ++address)
        ids.push_back(admission.Admit(address, TAdmission::TClock::now()).Id);
    std::string line;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i % 3 == 1)
            admission.StartWork(ids[i], TAdmission::TClock::now(), line);
        if (i % 3 == 2)
            admission.Answered(ids[i]);
        admission.Remove(ids[i]);
        admission.Remove(ids[i]); // twice: ignored
    }
    EXPECT_EQ(admission.Reading(), 0u);
    EXPECT_EQ(admission.Working(), 0u);
    for (TIpv4 address = 1; address <= 100; ++address)
        EXPECT_EQ(admission.Waiting(address), 0u);
}

TEST(AdmissionTest, ReadingCapStaysWithinTheDescriptorLimit) {
    struct TCase {
        size_t setting, working, limit, expected;
    };
    const TCase cases[] = {
        {10000, 1024, 20000, 10000}, // the hard limit a service gets: the setting holds
        {10000, 1024, 0, 10000},     // no limit (Windows)
        {0, 0, 0, 0},                // no cap at all
        {0, 1024, 20000, 18720},     // only the limit, less the workers' and the reserve
        {10000, 1024, 1024, 256},    // a soft limit that could not be raised: half for the workers
        {10000, 1024, 300, 64},      // never below 64
        {10000, 0, 4096, 1792},      // no workers' cap: half the limit kept for them
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ReadingConnectionCap(c.setting, c.working, c.limit), c.expected)
            << c.setting << " " << c.working << " " << c.limit;
}

TEST(FairQueueTest, ClientsTakeTurns) {
    TFairQueue<std::string> queue;
    const std::pair<TIpv4, const char*> pushed[] = {{1, "a1"}, {1, "a2"}, {1, "a3"},
                                                    {2, "b1"}, {3, "c1"}, {2, "b2"}};
    for (const auto& [client, item] : pushed)
        queue.Push(client, item);
    std::vector<std::string> order;
    while (auto item = queue.Pop())
        order.push_back(*item);
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "c1", "a2", "b2", "a3"}));
    EXPECT_TRUE(queue.Empty());
    // A client that comes back after its queue ran dry waits for its turn behind those still queued.
    queue.Push(1, "a4");
    queue.Push(1, "a5");
    queue.Push(2, "b3");
    EXPECT_EQ(*queue.Pop(), "a4");
    queue.Push(3, "c2");
    order.clear();
    while (auto item = queue.Pop())
        order.push_back(*item);
    EXPECT_EQ(order, (std::vector<std::string>{"b3", "a5", "c2"}));
}

TEST(WorkerPoolTest, JobsWaitingForAThreadAreTakenInTurnsAndTheThreadsAreBounded) {
    std::atomic<bool> open{false};
    std::atomic<int> started{0};
    auto blocking = [&] {
        ++started;
        WaitFor([&] { return open.load(); });
    };
    std::vector<std::string> order; // by the pool's one thread only
    {
        TWorkerPool pool(1);
        // The only thread is held; what comes next waits in the queue, and one thread takes it in order.
        ASSERT_TRUE(pool.Post(9, blocking));
        ASSERT_TRUE(WaitFor([&] { return started == 1; }));
        const std::pair<TIpv4, const char*> posted[] = {
            {1, "a1"}, {1, "a2"}, {1, "a3"}, {2, "b1"}, {3, "c1"}};
        for (const auto& [client, name] : posted)
            pool.Post(client, [&order, name = std::string(name)] { order.push_back(name); });
        EXPECT_EQ(pool.Threads(), 1u);
        EXPECT_EQ(pool.Queued(), 5u);
        EXPECT_FALSE(pool.WaitIdle(std::chrono::steady_clock::now()));
        open = true;
        EXPECT_TRUE(pool.WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "c1", "a2", "a3"}));

    // A thread for each job while none is free, up to the bound.
    open = false;
    started = 0;
    TWorkerPool pool(2);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(pool.Post(static_cast<TIpv4>(i), blocking));
    ASSERT_TRUE(WaitFor([&] { return started == 2; }));
    EXPECT_EQ(pool.Threads(), 2u);
    EXPECT_EQ(pool.Queued(), 1u);
    open = true;
    EXPECT_TRUE(pool.WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
    EXPECT_EQ(started, 3);
}

// The device's lock goes to the workers in the order they asked, whatever order the system wakes them in.
TEST(FairMutexTest, WaitersGetItInTheOrderTheyAsked) {
    TFairMutex device;
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::thread> waiters;
    device.lock();
    for (int i = 0; i < 6; ++i) {
        waiters.emplace_back([&, i] {
            std::lock_guard<TFairMutex> turn(device);
            std::lock_guard guard(lock);
            order.push_back(i);
        });
        ASSERT_TRUE(WaitFor([&] { return device.Waiting() == static_cast<uint64_t>(i + 1); }));
    }
    EXPECT_FALSE(device.try_lock());
    device.unlock();
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(device.try_lock());
    EXPECT_EQ(device.Waiting(), 0u);
    device.unlock();
}

} // namespace
