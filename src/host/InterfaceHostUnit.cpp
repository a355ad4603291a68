#include "host/InterfaceHostUnit.h"

#include "doorlock/DoorlockRecordStoreUnit.h"
#include "server/SysOptionUnit.h"

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
    }
    // A shared store this build cannot reach fails the start as well, instead of losing every row.
    if (kind != nullptr && kind->UsesDevice && DoorlockRecordStore != nullptr)
        DoorlockRecordStore->CheckUsable();
    m_server.SetActive(true);
}

void TInterfaceHost::StopServer() {
    m_server.SetActive(false);
    m_infoMemo.AppendLine(StopLine());
}
