#include "server/WorkerPoolUnit.h"

#include <system_error>

TWorkerPool::TWorkerPool(size_t maxThreads, std::chrono::milliseconds idleLife)
    : m_maxThreads(maxThreads > 0 ? maxThreads : 1), m_idleLife(idleLife) {}

TWorkerPool::~TWorkerPool() {
    {
        std::lock_guard guard(m_lock);
        m_ending = true;
    }
    m_work.notify_all();
    {
        // Queued jobs still run first: each one holds a connection that must be let go.
        std::unique_lock lock(m_lock);
        m_idle.wait(lock, [this] { return m_threads.empty(); });
    }
    JoinEnded();
}

bool TWorkerPool::Post(const TClientKey& key, TJob job) {
    JoinEnded();
    std::unique_lock lock(m_lock);
    if (m_queue.Empty())
        m_waitingSince = std::chrono::steady_clock::now();
    m_queue.Push(key, std::move(job));
    if (m_free >= m_queue.Size() || m_threads.size() >= m_maxThreads) {
        lock.unlock();
        m_work.notify_one();
        return true;
    }
    try {
        m_threads.emplace_back();
        auto self = std::prev(m_threads.end());
        // Started under the lock, so that the thread finds its own entry filled in.
        *self = std::thread([this, self] { Work(self); });
    } catch (const std::system_error&) {
        m_threads.pop_back();
        if (m_threads.empty()) {
            // Nobody would ever take it.
            m_queue.Pop();
            return false;
        }
    }
    return true;
}

void TWorkerPool::Work(std::list<std::thread>::iterator self) {
    std::unique_lock lock(m_lock);
    for (;;) {
        if (m_queue.Empty()) {
            ++m_free;
            const bool woken =
                m_work.wait_for(lock, m_idleLife, [this] { return !m_queue.Empty() || m_ending; });
            --m_free;
            if (!woken || m_queue.Empty())
                break;
        }
        TJob job = std::move(*m_queue.Pop());
        if (!m_queue.Empty())
            m_waitingSince = std::chrono::steady_clock::now();
        ++m_running;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job answers for its own connection; the thread goes on.
        }
        job = nullptr;
        lock.lock();
        --m_running;
        m_idle.notify_all();
    }
    m_ended.splice(m_ended.end(), m_threads, self);
    m_idle.notify_all();
}

void TWorkerPool::JoinEnded() {
    std::list<std::thread> ended;
    {
        std::lock_guard guard(m_lock);
        ended.splice(ended.end(), m_ended);
    }
    for (std::thread& thread : ended)
        thread.join();
}

bool TWorkerPool::WaitIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(m_lock);
    return m_idle.wait_until(lock, deadline, [this] { return m_queue.Empty() && m_running == 0; });
}

size_t TWorkerPool::Threads() const {
    std::lock_guard guard(m_lock);
    return m_threads.size();
}

size_t TWorkerPool::Queued() const {
    std::lock_guard guard(m_lock);
    return m_queue.Size();
}

std::chrono::steady_clock::duration TWorkerPool::StalledFor(std::chrono::steady_clock::time_point now) const {
    std::lock_guard guard(m_lock);
    if (m_queue.Empty())
        return {};
    return now - m_waitingSince;
}
