#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace soci {
class session;
}

// Server connection attempts: one at a time, and none during the back-off after a failed one, so that a
// server that does not answer costs a request at most one connect time-out.
class TConnectGate {
public:
    void SetBackoff(std::chrono::milliseconds backoff);
    std::chrono::milliseconds Backoff() const;
    // Runs connect unless an attempt is under way (then waits for it) or the back-off runs (then raises at
    // once). Null when the attempt waited for succeeded (for someone else): look again.
    std::unique_ptr<soci::session> Open(const std::function<std::unique_ptr<soci::session>()>& connect);
    // A probe during the back-off: connects at once unless an attempt is under way (then null). Its success
    // ends the back-off for everyone.
    std::unique_ptr<soci::session> Probe(const std::function<std::unique_ptr<soci::session>()>& connect);
    bool InBackoff() const;

private:
    std::unique_ptr<soci::session> Attempt(std::unique_lock<std::mutex>& gate,
                                           const std::function<std::unique_ptr<soci::session>()>& connect);

    mutable std::mutex m_lock;
    std::condition_variable m_done;
    bool m_connecting = false;
    std::chrono::milliseconds m_backoff{std::chrono::seconds(5)};
    std::chrono::steady_clock::time_point m_nextAttempt{};
    std::string m_lastError;
};
