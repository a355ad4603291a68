#include "host/InterfaceHostUnit.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/StopSignalUnit.h"
#include "platform/SysUtilsUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/AdmissionUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"
#include "server/TlsServerUnit.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

TInterfaceKind InterfaceKind = TInterfaceKind::None;

namespace {

// Lines held back until the start has succeeded.
class TPendingLines : public TInfoList {
public:
    void AppendLine(const std::string& line) override { Lines.push_back(line); }
    std::vector<std::string> Lines;
};

} // namespace

TInterfaceHost::TInterfaceHost(TInfoList& infoMemo, std::function<void()> onStuckHandlers)
    : m_infoMemo(infoMemo), m_onStuckHandlers(std::move(onStuckHandlers)) {}

TInterfaceHost::~TInterfaceHost() {
    m_monitor.Stop();
    try {
        m_server.SetActive(false);
    } catch (const std::exception&) {
        // "Terminate Thread Timeout": the handlers still running are dealt with below.
    }
    if (m_server.LiveConnectionCount() > 0 && m_onStuckHandlers)
        m_onStuckHandlers();
}

void TInterfaceHost::StartServer() {
    m_server.SetDefaultPort(SysOption != nullptr ? PortForKind(*SysOption, InterfaceKind) : 0);
    // A kind this host does not serve reads each request and closes without an answer. The listener's
    // connections share the handler, so one that outlives a stop still has it.
    const TInterfaceKindRow* kind = FindInterfaceKind(InterfaceKind);
    m_handler = kind != nullptr ? kind->MakeHandler(ProcessKindServices()) : nullptr;
    TRequestHandler serve;
    if (m_handler)
        serve = [handler = m_handler](const std::string& request, const TRequestOrigin& origin) {
            return handler->Handle(request, origin);
        };
    m_server.SetRequestHandler(std::move(serve));
    // The start line says the host listens, so it and the lines that follow it wait for the listener (and the
    // monitor); a start that fails shows its failure alone.
    TPendingLines startLines;
    startLines.AppendLine(KindStartLine(InterfaceKind));
    // A RecordRetention that does not parse fails the start before anything listens; the rounds run beside
    // the listener, the first once it listens.
    if (Option != nullptr) {
        const TRecordRetentionPolicy retention = RecordRetentionPolicyOf(*Option);
        if (retention.Days > 0 && DoorlockRecordStore != nullptr)
            m_retention = std::make_unique<TRecordRetention>(
                RecordStoreTarget(Option->Database,
                                  FileNameOf(FileSystemPath(Option->FileName).parent_path())),
                retention);
    }
    std::vector<TIpv4Range> allowed;
    TTlsLayer tls;
    TIpv4 monitorAddress = 0;
    int monitorPort = 0;
    bool monitored = false;
    if (SysOption != nullptr) {
        // Parsed before anything listens, so that a wrong entry never leaves the interface open alone.
        monitored = SysOption->MonitorEndpoint(monitorAddress, monitorPort);
        if (monitored)
            m_monitor.SetAllowedClients(SysOption->MonitorClientRanges());
        // An entry that does not parse fails the start like a bind failure, never leaving the host open.
        m_server.SetListenAddress(SysOption->ListenIpv4());
        allowed = SysOption->AllowedClientRanges();
        m_server.SetAllowedClients(allowed);
        const size_t working =
            SysOption->MaxConnections > 0 ? static_cast<size_t>(SysOption->MaxConnections) : 0;
        m_server.SetMaxConnections(working);
        m_server.SetMaxReadingConnections(ReadingConnectionCap(
            SysOption->MaxReadingConnections > 0 ? static_cast<size_t>(SysOption->MaxReadingConnections) : 0,
            working, DescriptorLimit()));
        m_server.SetListenBacklog(SysOption->ListenBacklog);
        m_server.SetMaxConnectionsPerClient(SysOption->MaxConnectionsPerClient > 0
                                                ? static_cast<size_t>(SysOption->MaxConnectionsPerClient)
                                                : 0);
        m_server.SetRequestTimeout(std::chrono::seconds(std::max(SysOption->RequestTimeout, 0)));
        tls = TlsLayerFor(*SysOption, startLines, Now());
        // Daily files, old files deleted, the request texts' budget and floor; and each day, the certificates
        // looked at again and a retention round.
        if (LogFile != nullptr)
            m_logUpkeep =
                std::make_unique<TLogUpkeep>(*SysOption, *LogFile, m_infoMemo, [this](TDateTime now) {
                    if (m_retention)
                        m_retention->StartRound();
                    return CertificateWarnings(now);
                });
    }
    // A shared store this build cannot reach fails the start as well, instead of losing every row.
    if (m_handler)
        m_handler->CheckUsable();
    m_server.SetTls(tls.Context);
    // Counted only with the monitor on: a host without it pays nothing.
    m_stats = monitored ? std::make_shared<TServerStats>(InterfaceLabel(InterfaceKind)) : nullptr;
    m_server.SetStats(m_stats);
    m_server.SetActive(true);
    if (m_retention)
        m_retention->StartRound();
    {
        std::lock_guard lock(m_tlsMutex);
        m_tlsContext = tls.Context;
    }
    if (monitored)
        StartMonitor(monitorAddress, monitorPort, kind, startLines);
    for (const std::string& line : startLines.Lines)
        m_infoMemo.AppendLine(line);
    // Open to everyone stays the default, as hotel systems rely on it; the operator is told once per start,
    // also when the list names every address, and what client certificates still hold back.
    const bool everyAddress = !allowed.empty() && AllowsEveryAddress(allowed);
    if (allowed.empty() || everyAddress) {
        const std::string warning =
            OpenToEveryoneLine(m_server.BoundPort(),
                               everyAddress ? TOpenAccess::AllowListOfEveryAddress : TOpenAccess::NoAllowList,
                               tls.Context != nullptr && tls.Context->RequiresClientCertificate());
        WriteLog(warning);
        m_infoMemo.AppendLine(warning);
    }
}

void TInterfaceHost::StartMonitor(TIpv4 address, int port, const TInterfaceKindRow* kind,
                                  TInfoList& startLines) {
    THostMonitorParts parts;
    parts.Kind = InterfaceKind;
    parts.Server = &m_server;
    parts.Stats = m_stats;
    parts.Services = ProcessKindServices();
    parts.UsesDevice = kind != nullptr && kind->UsesDevice;
    parts.Log = LogFile;
    parts.LogDirectory = FileNameOf(FileSystemPath(SysOption->FileName).parent_path());
    parts.LogMinFreeMB = SysOption->LogMinFreeMB;
    const std::string listenText = Trim(SysOption->ListenAddress);
    parts.ListenText = (listenText.empty() ? std::string("0.0.0.0") : listenText) + ":" +
                       std::to_string(m_server.BoundPort());
    parts.Tls = [this] { return TlsContext(); };
    m_monitorPages = std::make_unique<THostMonitor>(std::move(parts));
    m_monitor.SetPages([pages = m_monitorPages.get()](const std::string& path) { return pages->Page(path); });
    const std::string endpoint = Ipv4Text(address) + ":" + std::to_string(port);
    try {
        m_monitor.Start(address, port);
    } catch (const std::exception& e) {
        m_monitorPages.reset();
        try {
            m_server.SetActive(false);
        } catch (const std::exception&) {
        }
        throw Exception(std::string(e.what()) + " (MonitorAddress " + endpoint + ")");
    }
    const std::string line = Gbk("监控接口已经启动: http://") + Ipv4Text(address) + ":" +
                             std::to_string(m_monitor.BoundPort()) + " (/livez /readyz /metrics)";
    WriteLog(line);
    startLines.AppendLine(line);
}

void TInterfaceHost::StopServer() {
    // The monitor first: its pages read the listener and the kind's objects.
    m_monitor.Stop();
    m_monitorPages.reset();
    m_logUpkeep.reset();
    // Waits for the batch under way at most.
    m_retention.reset();
    {
        std::lock_guard lock(m_tlsMutex);
        m_tlsContext.reset();
    }
    m_server.SetActive(false);
    m_infoMemo.AppendLine(StopLine());
}

std::shared_ptr<const TTlsContext> TInterfaceHost::TlsContext() const {
    std::lock_guard lock(m_tlsMutex);
    return m_tlsContext;
}

std::vector<std::string> TInterfaceHost::CertificateWarnings(TDateTime now) const {
    const std::shared_ptr<const TTlsContext> context = TlsContext();
    return context != nullptr ? TlsCertificateWarnings(*context, now) : std::vector<std::string>();
}
