#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class THostProcess;

// Bounds a shut-down that a stuck connection handler would hold up for ever (a vendor library call that
// does not return). Armed once the stop has given up waiting and said so, it lets the handlers a moment
// more, then closes the record store and the log and ends the process with status 1. It never calls the
// library: the device's ClosePort, if the main thread is at it, waits for the handler that holds it.
class TStuckStopGuard {
public:
    explicit TStuckStopGuard(THostProcess& process) : m_process(process) {}
    // Disarms it: the handlers came back in time.
    ~TStuckStopGuard();
    TStuckStopGuard(const TStuckStopGuard&) = delete;
    TStuckStopGuard& operator=(const TStuckStopGuard&) = delete;

    // For the listener: what it runs when handlers outlive its stop. Valid as long as the guard lives.
    std::function<void()> OnStuckHandlers() {
        return [this] { Arm(); };
    }
    bool Armed() const;

private:
    static constexpr auto Grace = std::chrono::seconds(2);

    void Arm();
    void EndAfterGrace();

    THostProcess& m_process;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_cancelled = false;
    std::thread m_thread;
};
