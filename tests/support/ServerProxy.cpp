#include "support/ServerProxy.h"

#include <stdexcept>
#include <string>

struct TServerProxy::TPair {
    TSocket client, server;
    std::thread up, down;
};

TServerProxy::TServerProxy(int serverPort) : m_serverPort(serverPort) {
    TIpv4 loopback = 0;
    ParseIpv4("127.0.0.1", loopback);
    m_listener = ListenTcp(0, 64, loopback);
    m_port = m_listener.LocalPort();
    m_thread = std::thread([this] { Run(); });
}

TServerProxy::~TServerProxy() {
    m_stop = true;
    m_thread.join();
    Cut();
}

void TServerProxy::GoSilent() {
    m_silent = true;
    Cut();
}

void TServerProxy::Pump(const TSocket& from, const TSocket& to) {
    char buffer[8192];
    for (long n; (n = from.Receive(buffer, sizeof buffer)) > 0;) {
        if (!to.SendAll(buffer, static_cast<size_t>(n)))
            break;
    }
    to.ShutdownBoth();
    from.ShutdownBoth();
}

void TServerProxy::Run() {
    while (!m_stop) {
        TSocket client;
        if (AcceptTcp(m_listener, 100, client) != TAcceptResult::Accepted)
            continue;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_silent) {
            m_swallowed.push_back(std::move(client));
            continue;
        }
        auto pair = std::make_unique<TPair>();
        pair->client = std::move(client);
        try {
            pair->server = ConnectTcp("127.0.0.1", m_serverPort);
        } catch (const std::exception&) {
            continue; // the client sees its connection closed
        }
        TPair& p = *pair;
        p.up = std::thread([&p] { Pump(p.client, p.server); });
        p.down = std::thread([&p] { Pump(p.server, p.client); });
        m_pairs.push_back(std::move(pair));
    }
}

void TServerProxy::Cut() {
    std::vector<std::unique_ptr<TPair>> pairs;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        pairs.swap(m_pairs);
    }
    for (auto& pair : pairs) {
        pair->client.ShutdownBoth();
        pair->server.ShutdownBoth();
        pair->up.join();
        pair->down.join();
    }
}

int UriPort(const std::string& uri) {
    const size_t portAt = uri.rfind(':') + 1;
    const size_t portEnd = uri.rfind('/');
    if (portAt == 0 || portEnd == std::string::npos || portEnd < portAt)
        throw std::runtime_error("no port in " + uri);
    return std::stoi(uri.substr(portAt, portEnd - portAt));
}
