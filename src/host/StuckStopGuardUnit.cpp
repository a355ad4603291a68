#include "host/StuckStopGuardUnit.h"

#include "host/HostStartupUnit.h"
#include "platform/ServiceNotifyUnit.h"

#include <cstdio>
#include <cstdlib>

TStuckStopGuard::~TStuckStopGuard() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool TStuckStopGuard::Armed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_thread.joinable();
}

void TStuckStopGuard::Arm() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { EndAfterGrace(); });
}

void TStuckStopGuard::EndAfterGrace() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_for(lock, Grace, [this] { return m_cancelled; }))
            return;
    }
    m_process.CloseForExit();
    std::fflush(stdout);
    std::fflush(stderr);
    NotifyServiceEnding(1);
    std::_Exit(1);
}
