#pragma once

#include "platform/SocketUnit.h"
#include "server/ConnectionLogUnit.h"
#include "server/WireUnit.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The TCP listener: IPv4, backlog 15, a thread per accepted connection.
class TTcpServer {
public:
    using TExecute = std::function<void(TServerConnection&)>;

    TTcpServer();
    ~TTcpServer(); // stops when active (errors swallowed)
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    void SetDefaultPort(int port);
    int DefaultPort() const;
    // Runs once per accepted connection on the connection's thread; the server shuts the connection down
    // and closes it afterwards, whatever the function did or raised.
    void SetOnExecute(TExecute execute);
    // The request cycle (ServeRequest) as that function: one request per connection, served by the handler.
    void SetRequestHandler(TRequestHandler handler);
    // Set while stopped: runs in place of that function, given the plain connection, the client's address
    // and the function, which it runs on the connection it makes over the plain one (TLS) or not at all.
    // Empty: the function runs on the plain connection.
    using TConnectionLayer =
        std::function<void(TServerConnection& plain, TIpv4 peer, const TExecute& execute)>;
    void SetConnectionLayer(TConnectionLayer layer);

    // Set while stopped. Address 0: every local address. An empty list: every client. Cap or time 0: none.
    // A refused client is closed before a byte is read, and logged at most once a minute per address; a
    // connection over the cap is closed at once, and logged at most once a minute; one over its address's
    // cap likewise, at most once a minute per address. Only connections not yet answered count against the
    // caps. A connection whose reads have not ended within the request time-out of its accept fails its
    // next read, and is closed and logged at most once a minute per address.
    void SetListenAddress(TIpv4 address);
    void SetAllowedClients(std::vector<TIpv4Range> ranges);
    void SetMaxConnections(size_t cap);
    void SetMaxConnectionsPerClient(size_t cap);
    void SetRequestTimeout(std::chrono::milliseconds timeout);

    // Start: raises Exception "Could not bind socket. Address and port are already in use." or
    // "Socket Error # %d\r\n%s"; the server is then stopped.
    // Stop: stops accepting, closes every live connection, waits up to 5000 ms (looking every 250 ms);
    // raises Exception "Terminate Thread Timeout" when connections remain.
    void SetActive(bool active);
    bool Active() const;

    // The port actually bound (differs from DefaultPort when that is 0); 0 while stopped.
    int BoundPort() const;
    size_t LiveConnectionCount() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> m_impl;
};
