#pragma once

#include "server/InfoListUnit.h"
#include "server/TcpServerUnit.h"

#include <cstdint>
#include <string>

// 1 door lock, 2 police registration, 3 member card; 0 until the host start-up sets it.
extern int32_t InterfaceKind;

// Per kind, in the system code page: the window caption / application title, and the start line.
std::string KindTitle(int32_t kind);
std::string KindStartLine(int32_t kind);
// "接口监听服务器已经停止。"
std::string StopLine();

// Whether the host can serve a kind: kind 1 always; kinds 2 and 3 need a request handler for them, which
// exists, and their back end is optional (without one every request is answered as failed / empty).
bool IsKnownInterfaceKind(int32_t kind);

// Serves one decoded request with a fresh handler of the running kind.
void HandleRequestForKind(int32_t kind, TInfoList* infoMemo, TConnection& connection,
                          const std::u16string& request);

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
