#include "records/ConnectGateUnit.h"

#include "records/RecordStoreBudgetUnit.h"

#include <soci/soci.h>

#include <stdexcept>

void TConnectGate::SetBackoff(std::chrono::milliseconds backoff) {
    std::lock_guard<std::mutex> gate(m_lock);
    m_backoff = backoff;
}

std::chrono::milliseconds TConnectGate::Backoff() const {
    std::lock_guard<std::mutex> gate(m_lock);
    return m_backoff;
}

bool TConnectGate::InBackoff() const {
    std::lock_guard<std::mutex> gate(m_lock);
    return std::chrono::steady_clock::now() < m_nextAttempt;
}

std::unique_ptr<soci::session>
TConnectGate::Open(const std::function<std::unique_ptr<soci::session>()>& connect) {
    std::unique_lock<std::mutex> gate(m_lock);
    // During the back-off an operation fails at once, also while a probe is under way.
    bool waited = false;
    while (std::chrono::steady_clock::now() >= m_nextAttempt && m_connecting) {
        m_done.wait(gate);
        waited = true;
    }
    if (std::chrono::steady_clock::now() < m_nextAttempt)
        throw std::runtime_error("数据库连接失败后" + SecondsText(m_backoff) +
                                 "秒内不再连接: " + m_lastError);
    if (waited)
        return nullptr;
    return Attempt(gate, connect);
}

std::unique_ptr<soci::session>
TConnectGate::Probe(const std::function<std::unique_ptr<soci::session>()>& connect) {
    std::unique_lock<std::mutex> gate(m_lock);
    if (m_connecting)
        return nullptr;
    return Attempt(gate, connect);
}

std::unique_ptr<soci::session>
TConnectGate::Attempt(std::unique_lock<std::mutex>& gate,
                      const std::function<std::unique_ptr<soci::session>()>& connect) {
    m_connecting = true;
    gate.unlock();
    std::unique_ptr<soci::session> session;
    try {
        session = connect();
    } catch (const std::exception& e) {
        gate.lock();
        m_connecting = false;
        m_nextAttempt = std::chrono::steady_clock::now() + m_backoff;
        m_lastError = e.what();
        gate.unlock();
        m_done.notify_all();
        throw;
    }
    gate.lock();
    m_connecting = false;
    m_nextAttempt = {};
    gate.unlock();
    m_done.notify_all();
    return session;
}
