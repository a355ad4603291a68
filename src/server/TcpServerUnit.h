#pragma once

#include "server/WireUnit.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// The TCP listener: IPv4, any address, backlog 15, a thread per accepted connection.
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
