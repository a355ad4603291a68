#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

// A value reachable only through its lock: Lock() hands out a handle that holds the lock for as long as it
// lives, and the value is reached through the handle alone.
//
//     auto held = m_held.Lock();
//     held->Rows.push_back(row);
//
// A condition variable waits on the handle's own lock (Raw()); the value is to be read again after the wait.
template <typename T, typename TMutex = std::mutex> class TGuarded {
public:
    class TLocked {
    public:
        T* operator->() const { return m_value; }
        T& operator*() const { return *m_value; }
        // For a condition variable's wait, and to let go of the lock before the handle ends.
        std::unique_lock<TMutex>& Raw() { return m_lock; }

    private:
        friend class TGuarded;
        TLocked(T& value, std::unique_lock<TMutex> lock) : m_value(&value), m_lock(std::move(lock)) {}

        T* m_value;
        std::unique_lock<TMutex> m_lock;
    };

    template <typename... TArgs> explicit TGuarded(TArgs&&... args) : m_value(std::forward<TArgs>(args)...) {}
    TGuarded(const TGuarded&) = delete;
    TGuarded& operator=(const TGuarded&) = delete;

    TLocked Lock() { return TLocked(m_value, std::unique_lock<TMutex>(m_mutex)); }
    // For a timed mutex: nullopt when the lock was not to be had within wait.
    template <typename TRep, typename TPeriod>
    std::optional<TLocked> TryLockFor(std::chrono::duration<TRep, TPeriod> wait) {
        std::unique_lock<TMutex> lock(m_mutex, wait);
        if (!lock.owns_lock())
            return std::nullopt;
        return TLocked(m_value, std::move(lock));
    }

private:
    TMutex m_mutex;
    T m_value;
};
