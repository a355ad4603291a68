#pragma once

#include "host/HostMonitorUnit.h"
#include "host/InterfaceKindUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/TlsUnit.h"
#include "records/RecordRetentionUnit.h"
#include "server/InfoListUnit.h"
#include "server/LogUpkeepUnit.h"
#include "server/MonitorUnit.h"
#include "server/TcpServerUnit.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The running kind; None until the host start-up sets it.
extern TInterfaceKind InterfaceKind;

// The listener with its start and stop lines: owned by the window, or by the headless run.
class TInterfaceHost {
public:
    // onStuckHandlers: run by the destructor while handlers still run after the stop reported "Terminate
    // Thread Timeout" (one stuck in the vendor library may never return); the process start-up passes one
    // that bounds that wait. Empty: the destructor simply waits.
    explicit TInterfaceHost(TInfoList& infoMemo, std::function<void()> onStuckHandlers = {});
    // Waits for connection handlers that outlived the stop's wait; onStuckHandlers runs first.
    ~TInterfaceHost();

    // The running kind's port, handler and start line, then the activation on the listen address, allow-list
    // and cap of SysOption; then, with MonitorAddress set, the monitoring endpoint and its line (an address
    // that does not parse or bind fails the start like the listener's, and stops the listener again). The
    // start line stays when the activation fails with "Could not bind socket. Address and port are already in
    // use." or an entry of those keys does not parse.
    void StartServer();
    // Deactivation (closes live connections and waits for them), then the stop line. Raises
    // "Terminate Thread Timeout" without the stop line when connections remain.
    void StopServer();

    TTcpServer& TCPServer() { return m_server; }
    // The monitor's port while it runs (0 when off).
    int MonitorPort() const { return m_monitor.BoundPort(); }

    // The running kind's handler as the last start built it (kept after a stop, for the window's test
    // dialog); nullptr before the first start or for a kind this host does not serve.
    std::shared_ptr<TKindHandler> Handler() const { return m_handler; }

    // The TLS context of the running listener; nullptr while it is stopped or speaks plain TCP. Any thread.
    std::shared_ptr<const TTlsContext> TlsContext() const;
    // The warnings (GBK) on the running listener's certificates at now, as the start gave them
    // (TlsCertificateWarnings); none while it is stopped or without TLS. Any thread: for the daily repeat.
    std::vector<std::string> CertificateWarnings(TDateTime now) const;

private:
    TInfoList& m_infoMemo;
    std::function<void()> m_onStuckHandlers;
    std::shared_ptr<TKindHandler> m_handler; // shared with the listener's connections
    TTcpServer m_server;
    mutable std::mutex m_tlsMutex;
    std::shared_ptr<const TTlsContext> m_tlsContext;
    // Old issued-card rows deleted or anonymised while the listener runs ([DoorlockOption]
    // RecordRetentionDays); before the log upkeep, whose daily check starts its rounds.
    std::unique_ptr<TRecordRetention> m_retention;
    std::unique_ptr<TLogUpkeep> m_logUpkeep; // while the listener runs
    // The monitoring endpoint and what it reads, while the listener runs with MonitorAddress set.
    std::unique_ptr<THostMonitor> m_monitorPages;
    std::shared_ptr<TServerStats> m_stats;
    TMonitorServer m_monitor;

    // Its line goes to startLines, shown with the start line once both listen.
    void StartMonitor(TIpv4 address, int port, const TInterfaceKindRow* kind, TInfoList& startLines);
};
