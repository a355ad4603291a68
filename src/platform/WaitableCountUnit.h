#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// A count that only grows, changed under a lock, and threads that wait under that lock for it to change.
class TWaitableCount {
public:
    // Under the lock.
    unsigned long long Value() const { return m_value; }
    // Under the lock: the new value, and every waiting thread woken.
    void Set(unsigned long long value) {
        m_value = value;
#ifdef __linux__
        m_value.notify_all();
#else
        m_changed.notify_all();
#endif
    }
    // Under the lock, which it lets go meanwhile: returns once the value may differ from seen.
    void WaitChange(std::unique_lock<std::mutex>& lock, unsigned long long seen) {
#ifdef __linux__
        // In the kernel, without coming back through the lock when woken.
        lock.unlock();
        m_value.wait(seen);
        lock.lock();
#else
        // Without a futex, GCC 12's atomic wait reads the value outside the lock its notify goes through,
        // and loses wake-ups.
        (void)seen;
        m_changed.wait(lock);
#endif
    }

private:
#ifdef __linux__
    std::atomic<unsigned long long> m_value{0};
#else
    unsigned long long m_value = 0;
    std::condition_variable m_changed;
#endif
};
