#pragma once

#include "platform/SocketUnit.h"
#include "platform/TlsUnit.h"
#include "server/ConnectionLogUnit.h"
#include "server/ServerStatsUnit.h"
#include "server/WireUnit.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

// The TCP listener: IPv4, one request per connection. Its I/O threads accept, handshake, read and answer
// every connection; only the request handler runs on a worker thread, taken in turns per client.
class TTcpServer {
public:
    TTcpServer();
    ~TTcpServer(); // stops when active (errors swallowed), and waits for handlers still running
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    void SetDefaultPort(int port);
    int DefaultPort() const;
    // The request cycle: one request per connection, read up to its NUL and handed to the handler on a worker
    // (WireUnit's rules: AnswerRequest); its answer sent, then the connection closed.
    void SetRequestHandler(TRequestHandler handler);
    // Set while stopped: every connection's TLS handshake before its request, with this context; a client
    // refused there is closed before a request byte is read and logged at most once a minute per address.
    // Null: plain TCP.
    void SetTls(std::shared_ptr<const TTlsContext> context);
    // Set while stopped: what the runs count (requests, refusals, answer times); null counts nothing.
    void SetStats(std::shared_ptr<TServerStats> stats);

    // Set while stopped. Address 0: every local address. An empty list: every client. Cap or time 0: none.
    // A refused client is closed before a byte is read, and logged at most once a minute per address; so is
    // one over its address's cap (MaxConnectionsPerClient: connections not yet answered). MaxConnections caps
    // the requests read in full that wait for or run in a worker; connections still being read have their own
    // cap (MaxReadingConnections), where the oldest connection of the address that holds most of them makes
    // room for an address that holds fewer (TAdmission). A connection whose reads have not ended within the
    // request time-out of its accept is closed, and logged at most once a minute per address.
    void SetListenAddress(TIpv4 address);
    void SetListenBacklog(int backlog); // 15 unless set
    void SetAllowedClients(std::vector<TIpv4Range> ranges);
    void SetMaxConnections(size_t cap);
    void SetMaxReadingConnections(size_t cap);
    void SetMaxConnectionsPerClient(size_t cap);
    void SetRequestTimeout(std::chrono::milliseconds timeout);
    // Worker threads at most (8 unless set).
    void SetMaxWorkers(size_t workers);

    // Start: raises Exception "Could not bind socket. Address and port are already in use." or
    // "Socket Error # %d\r\n%s"; the server is then stopped.
    // Stop: stops accepting, closes every live connection, waits up to 5000 ms for the handlers still
    // running; raises Exception "Terminate Thread Timeout" when some remain (their answers are not sent).
    void SetActive(bool active);
    bool Active() const;

    // The port actually bound (differs from DefaultPort when that is 0); 0 while stopped.
    int BoundPort() const;
    // Connections accepted and not yet closed, those of a stop that timed out included.
    size_t LiveConnectionCount() const;
    // For a watchdog asking now and then: true when the I/O threads ran what it posted at its last ask (and
    // always while stopped), so that a listener whose every I/O thread is stuck stops answering it.
    bool IoResponds();
    // For the monitor, at any pace: running, no I/O thread has left a probe waiting longer than ioBound, and
    // no request has waited for a worker longer than workerBound without any being taken meanwhile.
    bool Live(std::chrono::steady_clock::duration ioBound, std::chrono::steady_clock::duration workerBound);
    // Worker threads running now.
    size_t WorkerCount() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> m_impl;
};
