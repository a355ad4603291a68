#include "platform/GuardedUnit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

// Increments that go through the handle never overlap: threads reach the exact count.
TEST(GuardedTest, ThreadsIncrementingThroughTheLockReachTheExactCount) {
    struct TCounts {
        long long A = 0;
        long long B = 0;
    };
    TGuarded<TCounts> counts;
    constexpr int Threads = 4;
    constexpr int Increments = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < Increments; ++i) {
                auto locked = counts.Lock();
                // A read and a write apart from each other: without the lock another thread's step falls
                // between.
                const long long a = locked->A;
                locked->B += 1;
                locked->A = a + 1;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    auto locked = counts.Lock();
    EXPECT_EQ(locked->A, static_cast<long long>(Threads) * Increments);
    EXPECT_EQ(locked->B, static_cast<long long>(Threads) * Increments);
}

// A timed lock held by one handle is not to be had by another within the wait, and is once that handle
// lets go of it.
TEST(GuardedTest, ATimedLockHeldElsewhereIsRefusedUntilItsHandleEnds) {
    TGuarded<int, std::timed_mutex> value(7);
    {
        auto held = value.Lock();
        std::thread other([&] { EXPECT_FALSE(value.TryLockFor(std::chrono::milliseconds(20)).has_value()); });
        other.join();
        held.Raw().unlock();
        std::thread after([&] {
            auto locked = value.TryLockFor(std::chrono::milliseconds(20));
            ASSERT_TRUE(locked.has_value());
            EXPECT_EQ(**locked, 7);
        });
        after.join();
    }
    EXPECT_TRUE(value.TryLockFor(std::chrono::milliseconds(20)).has_value());
}
