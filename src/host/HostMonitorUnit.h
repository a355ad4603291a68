#pragma once

#include "host/InterfaceKindUnit.h"
#include "platform/TlsUnit.h"
#include "server/MetricsUnit.h"
#include "server/MonitorUnit.h"
#include "server/ServerStatsUnit.h"
#include "server/TcpServerUnit.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TLogFile;

// What the monitor looks at: the running listener and what the host's kind uses. Not owned; each outlives
// the monitor.
struct THostMonitorParts {
    TInterfaceKind Kind = TInterfaceKind::None;
    TTcpServer* Server = nullptr;
    std::shared_ptr<TServerStats> Stats;
    TKindServices Services;
    bool UsesDevice = false;
    TLogFile* Log = nullptr;
    std::string LogDirectory;
    int LogMinFreeMB = 0;
    std::string ListenText; // "0.0.0.0:8886"
    // The TLS context of the running listener (null without TLS).
    std::function<std::shared_ptr<const TTlsContext>()> Tls;
};

// One readiness check's outcome: its line of /readyz and its gauge.
struct TReadinessCheck {
    std::string Name; // listener, encoder, store, log, tls
    bool Ok = false;
    std::string Line; // UTF-8
};

// The pages of the host's monitoring endpoint: /livez, /readyz and /metrics. The checks run when asked, each
// bounded (the device's and the store's locks are waited for briefly only), on the monitor's page threads.
class THostMonitor {
public:
    explicit THostMonitor(THostMonitorParts parts);

    std::vector<TReadinessCheck> Readiness();
    bool Live();
    std::string Metrics();
    std::optional<THttpResponse> Page(const std::string& path);

private:
    THostMonitorParts m_parts;
};

// The label of a kind's requests: doorlock, police, member.
const char* InterfaceLabel(TInterfaceKind kind);
