#include "host/InterfaceHostUnit.h"

#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"
#include "server/TlsServerUnit.h"

#include <algorithm>
#include <chrono>
#include <utility>

TInterfaceKind InterfaceKind = TInterfaceKind::None;

TInterfaceHost::TInterfaceHost(TInfoList& infoMemo, std::function<void()> onStuckHandlers)
    : m_infoMemo(infoMemo), m_onStuckHandlers(std::move(onStuckHandlers)) {}

TInterfaceHost::~TInterfaceHost() {
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
    // A kind this host does not serve reads each request and closes without an answer.
    const TInterfaceKindRow* kind = FindInterfaceKind(InterfaceKind);
    m_server.SetRequestHandler(kind != nullptr ? kind->HandleRequest : nullptr);
    m_infoMemo.AppendLine(KindStartLine(InterfaceKind));
    if (SysOption != nullptr) {
        // An entry that does not parse fails the start like a bind failure, never leaving the host open.
        m_server.SetListenAddress(SysOption->ListenIpv4());
        m_server.SetAllowedClients(SysOption->AllowedClientRanges());
        m_server.SetMaxConnections(
            SysOption->MaxConnections > 0 ? static_cast<size_t>(SysOption->MaxConnections) : 0);
        m_server.SetMaxConnectionsPerClient(SysOption->MaxConnectionsPerClient > 0
                                                ? static_cast<size_t>(SysOption->MaxConnectionsPerClient)
                                                : 0);
        m_server.SetRequestTimeout(std::chrono::seconds(std::max(SysOption->RequestTimeout, 0)));
        m_server.SetConnectionLayer(TlsLayerFor(*SysOption, m_infoMemo));
    }
    // A shared store this build cannot reach fails the start as well, instead of losing every row.
    if (kind != nullptr && kind->UsesDevice && DoorlockRecordStore != nullptr)
        DoorlockRecordStore->CheckUsable();
    m_server.SetActive(true);
    // Open to everyone stays the default, as hotel systems rely on it; the operator is told once per start.
    if (SysOption == nullptr || Trim(SysOption->AllowedClients).empty()) {
        const std::string warning = OpenToEveryoneLine(m_server.BoundPort());
        WriteLog(warning);
        m_infoMemo.AppendLine(warning);
    }
}

void TInterfaceHost::StopServer() {
    m_server.SetActive(false);
    m_infoMemo.AppendLine(StopLine());
}
