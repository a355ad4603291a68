#include "host/InterfaceHostUnit.h"

#include "server/SysOptionUnit.h"

int32_t InterfaceKind = 0;

TInterfaceHost::TInterfaceHost(TInfoList& infoMemo) : m_infoMemo(infoMemo) {
    m_server.SetOnExecute([this](TServerConnection& connection) { TCPServerExecute(connection); });
}

TInterfaceHost::~TInterfaceHost() = default;

void TInterfaceHost::StartServer() {
    m_server.SetDefaultPort(SysOption != nullptr ? PortForKind(*SysOption, InterfaceKind) : 0);
    m_infoMemo.AppendLine(KindStartLine(InterfaceKind));
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
