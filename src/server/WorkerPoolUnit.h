#pragma once

#include "server/ClientKeyUnit.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

// Items waiting in one queue per client, taken in turns: each client with items gets one before any gets a
// second, so a client that sends many requests gets its share of the workers and no more.
template <class T> class TFairQueue {
public:
    void Push(const TClientKey& key, T item) {
        std::deque<T>& queue = m_queues[key];
        if (queue.empty())
            m_turns.push_back(key);
        queue.push_back(std::move(item));
        ++m_size;
    }
    // The oldest item of the client whose turn it is.
    std::optional<T> Pop() {
        if (m_turns.empty())
            return std::nullopt;
        const TClientKey key = m_turns.front();
        m_turns.pop_front();
        auto found = m_queues.find(key);
        T item = std::move(found->second.front());
        found->second.pop_front();
        if (found->second.empty())
            m_queues.erase(found);
        else
            m_turns.push_back(key);
        --m_size;
        return item;
    }
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }

private:
    std::unordered_map<TClientKey, std::deque<T>> m_queues; // clients with items only
    std::deque<TClientKey> m_turns;                         // those clients, the next turn first
    size_t m_size = 0;
};

// The threads that run the handlers. A thread is started for a job when none is free, up to a bound, so that
// a handler stuck in a library holds one thread and the others go on; threads left idle end after a while.
// Jobs wait in a fair queue per client.
class TWorkerPool {
public:
    using TJob = std::function<void()>;
    explicit TWorkerPool(size_t maxThreads, std::chrono::milliseconds idleLife = std::chrono::seconds(30));
    ~TWorkerPool(); // waits for the jobs queued and running
    TWorkerPool(const TWorkerPool&) = delete;
    TWorkerPool& operator=(const TWorkerPool&) = delete;

    // Queues the job; false when no thread runs and none could be started (the job is then dropped).
    bool Post(const TClientKey& key, TJob job);
    // True once no job is queued or running, false when that has not come by the deadline.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline);
    size_t Threads() const;
    size_t Queued() const;
    // How long jobs have been queued with none taken since (0 with none queued): a pool whose every thread
    // is stuck shows it growing.
    std::chrono::steady_clock::duration StalledFor(std::chrono::steady_clock::time_point now) const;

private:
    void Work(std::list<std::thread>::iterator self);
    void JoinEnded();

    const size_t m_maxThreads;
    const std::chrono::milliseconds m_idleLife;
    mutable std::mutex m_lock;
    std::condition_variable m_work; // a job came, or the pool ends
    std::condition_variable m_idle; // a job ended
    TFairQueue<TJob> m_queue;
    std::list<std::thread> m_threads; // running
    std::list<std::thread> m_ended;   // returned from their loop, not yet joined
    size_t m_free = 0;                // threads waiting for a job
    size_t m_running = 0;             // jobs running
    bool m_ending = false;
    std::chrono::steady_clock::time_point m_waitingSince; // the queue's last fill from empty, or last take
};
