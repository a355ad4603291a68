#pragma once

#include "host/InterfaceKindUnit.h"
#include "server/InfoListUnit.h"
#include "server/TcpServerUnit.h"

#include <cstdint>
#include <string>

// 1 door lock, 2 police registration, 3 member card; 0 until the host start-up sets it.
extern int32_t InterfaceKind;

// The listener with its start and stop lines: owned by the window, or by the headless run.
class TInterfaceHost {
public:
    explicit TInterfaceHost(TInfoList& infoMemo);
    ~TInterfaceHost();

    // The running kind's port, its start line, then the activation. The start line stays when the
    // activation fails with "Could not bind socket. Address and port are already in use.".
    void StartServer();
    // Deactivation (closes live connections and waits for them), then the stop line. Raises
    // "Terminate Thread Timeout" without the stop line when connections remain.
    void StopServer();

    TTcpServer& TCPServer() { return m_server; }

private:
    // The per-connection cycle: one request read and decoded, handed to the kind's handler.
    void TCPServerExecute(TServerConnection& connection);

    TInfoList& m_infoMemo;
    TTcpServer m_server;
};
