#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A lock taken in the order it was asked for. The workers take requests in turns per client; a device that
// only one of them can use at a time must then serve them in that order too, or a plain mutex's scramble
// would give a busy client's many waiting requests the device before a quiet client's one.
class TFairMutex {
public:
    void lock() {
        std::unique_lock guard(m_lock);
        const uint64_t ticket = m_next++;
        m_turn.wait(guard, [&] { return m_serving == ticket; });
    }
    bool try_lock() {
        std::lock_guard guard(m_lock);
        if (m_next != m_serving)
            return false;
        ++m_next;
        return true;
    }
    void unlock() {
        {
            std::lock_guard guard(m_lock);
            ++m_serving;
        }
        m_turn.notify_all();
    }
    // Threads waiting for it now.
    uint64_t Waiting() {
        std::lock_guard guard(m_lock);
        return m_next - m_serving - (m_next != m_serving ? 1 : 0);
    }

private:
    std::mutex m_lock;
    std::condition_variable m_turn;
    uint64_t m_next = 0;    // the ticket the next one to ask gets
    uint64_t m_serving = 0; // the ticket that holds it, or the next to, when it is free
};
