#pragma once

#include "server/InfoListUnit.h"
#include "server/TcpServerUnit.h"

#include <cstdint>
#include <functional>
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
    // Waits for connection handlers that outlived the stop's wait; OnStuckHandlers runs first.
    ~TInterfaceHost();

    // The running kind's port, its start line, then the activation on the listen address, allow-list and
    // cap of SysOption. The start line stays when the activation fails with "Could not bind socket. Address
    // and port are already in use." or an entry of those keys does not parse.
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

// Run by a host being destroyed while handlers still run after the stop reported "Terminate Thread
// Timeout" (one stuck in the vendor library may never return): the process start-up sets it to bound that
// wait. Empty by default: the destructor simply waits.
extern std::function<void()> OnStuckHandlers;
