#include "host/InterfaceHostUnit.h"

#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "member/MemberMessageHandlerUnit.h"
#include "platform/CodePageUnit.h"
#include "police/PoliceMessageHandlerUnit.h"
#include "server/SysOptionUnit.h"

int32_t InterfaceKind = 0;

std::string KindTitle(int32_t kind) {
    switch (kind) {
    case 1:
        return Gbk("VantrelTovra门锁接口");
    case 2:
        return Gbk("VantrelTovra公安接口");
    case 3:
        return Gbk("VantrelTovra会员卡接口");
    default:
        return {};
    }
}

std::string KindStartLine(int32_t kind) {
    switch (kind) {
    case 1:
        return Gbk("门锁接口监听服务器已经启动...");
    case 2:
        return Gbk("公安接口监听服务器已经启动...");
    case 3:
        return Gbk("会员卡接口监听服务器已经启动...");
    default:
        return {};
    }
}

std::string StopLine() {
    return Gbk("接口监听服务器已经停止。");
}

bool IsKnownInterfaceKind(int32_t kind) {
    return kind >= 1 && kind <= 3;
}

void HandleRequestForKind(int32_t kind, TInfoList* infoMemo, TConnection& connection,
                          const std::u16string& request) {
    switch (kind) {
    case 1: {
        TDoorlockMessageHandler handler(infoMemo);
        handler.HandleRequest(connection, request);
        break;
    }
    case 2: {
        TPoliceMessageHandler handler(infoMemo);
        handler.HandleRequest(connection, request);
        break;
    }
    case 3: {
        TMemberMessageHandler handler(infoMemo);
        handler.HandleRequest(connection, request);
        break;
    }
    default:
        break;
    }
}

TInterfaceHost::TInterfaceHost(TInfoList& infoMemo) : m_infoMemo(infoMemo) {
    m_server.SetOnExecute([this](TServerConnection& connection) { TCPServerExecute(connection); });
}

std::function<void()> OnStuckHandlers;

TInterfaceHost::~TInterfaceHost() {
    try {
        m_server.SetActive(false);
    } catch (const std::exception&) {
        // "Terminate Thread Timeout": the handlers still running are dealt with below.
    }
    if (m_server.LiveConnectionCount() > 0 && OnStuckHandlers)
        OnStuckHandlers();
}

void TInterfaceHost::StartServer() {
    m_server.SetDefaultPort(SysOption != nullptr ? SysOption->PortForKind(InterfaceKind) : 0);
    m_infoMemo.AppendLine(KindStartLine(InterfaceKind));
    if (SysOption != nullptr) {
        // An entry that does not parse fails the start like a bind failure, never leaving the host open.
        m_server.SetListenAddress(SysOption->ListenIpv4());
        m_server.SetAllowedClients(SysOption->AllowedClientRanges());
        m_server.SetMaxConnections(
            SysOption->MaxConnections > 0 ? static_cast<size_t>(SysOption->MaxConnections) : 0);
    }
    m_server.SetActive(true);
}

void TInterfaceHost::StopServer() {
    m_server.SetActive(false);
    m_infoMemo.AppendLine(StopLine());
}

void TInterfaceHost::TCPServerExecute(TServerConnection& connection) {
    // Any failure ends the cycle quietly; the server closes the connection either way.
    std::string bytes;
    if (!ReadRequest(connection, bytes))
        return;
    HandleRequestForKind(InterfaceKind, &m_infoMemo, connection, DecodeRequest(bytes));
}
