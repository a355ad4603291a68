#pragma once

#include "platform/SocketUnit.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// The baseline: the least a server can do around a request, with no request handling at all. One accept loop
// per hardware thread, all blocking in accept on the one listening socket (the kernel hands each connection
// to one of them); each serves what it accepted itself, reads to the NUL and answers. Same backlog as the
// host.
class TBaselineServer {
public:
    explicit TBaselineServer(std::string response);
    ~TBaselineServer();
    TBaselineServer(const TBaselineServer&) = delete;
    TBaselineServer& operator=(const TBaselineServer&) = delete;

    int Port() const { return m_port; }

private:
    void Listen();
    void Serve(TSocket socket);

    std::string m_response;
    TSocket m_listener;
    int m_port;
    std::atomic<bool> m_stopping{false};
    std::vector<std::thread> m_threads;
};
