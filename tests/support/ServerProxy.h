#pragma once

#include "platform/SocketUnit.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A port on 127.0.0.1 in front of a test server: passes connections on until it goes silent; then it accepts
// new ones and never answers (a server that hangs), and the connections it passed on are cut.
class TServerProxy {
public:
    explicit TServerProxy(int serverPort);
    ~TServerProxy();
    TServerProxy(const TServerProxy&) = delete;
    TServerProxy& operator=(const TServerProxy&) = delete;

    int Port() const { return m_port; }
    void GoSilent();
    void Answer() { m_silent = false; }

private:
    struct TPair;
    static void Pump(const TSocket& from, const TSocket& to);
    void Run();
    void Cut();

    int m_serverPort;
    int m_port = 0;
    TSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_silent{false};
    std::mutex m_lock;
    std::vector<std::unique_ptr<TPair>> m_pairs;
    std::vector<TSocket> m_swallowed;
    std::thread m_thread;
};

// The port of a postgresql:// URI of the test servers.
int UriPort(const std::string& uri);
