#pragma once

#include "platform/SocketUnit.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One answer of the monitor.
struct THttpResponse {
    int Status = 200;
    std::string ContentType = "text/plain; charset=utf-8";
    std::string Body;
};

// What the monitor serves: the path of a GET -> its answer, or nullopt for a path it does not know (404).
// Runs on the monitor's page threads, never on its I/O thread nor on the listener's threads.
using TMonitorPages = std::function<std::optional<THttpResponse>(const std::string& path)>;

// The monitoring endpoint's listener: plain HTTP/1.1, one request per connection and Connection: close,
// GET and HEAD only. It runs on one I/O thread of its own and two page threads, so that neither a slow
// client nor a slow page touches the card listener. A client outside the allow-list is closed before a byte
// is read, as is one beyond the cap of concurrent connections; a request head that is not HTTP or is larger
// than MaxHttpRequestHead is answered 400 / 431, and a connection that has not had its answer within the
// time-out is closed.
class TMonitorServer {
public:
    TMonitorServer();
    ~TMonitorServer(); // stops
    TMonitorServer(const TMonitorServer&) = delete;
    TMonitorServer& operator=(const TMonitorServer&) = delete;

    // Set while stopped. An empty list: every client.
    void SetAllowedClients(std::vector<TIpv4Range> ranges);
    void SetPages(TMonitorPages pages);
    void SetMaxConnections(size_t cap);                 // 16 unless set
    void SetTimeout(std::chrono::milliseconds timeout); // 5 s unless set

    // Raises Exception with the bind's message; the monitor is then stopped.
    void Start(TIpv4 address, int port);
    // Closes every connection; waits for pages being made.
    void Stop();
    bool Active() const;
    int BoundPort() const; // 0 while stopped

private:
    struct TRun;
    std::vector<TIpv4Range> m_allowed;
    TMonitorPages m_pages;
    size_t m_maxConnections = 16;
    std::chrono::milliseconds m_timeout{5000};
    std::unique_ptr<TRun> m_run;
    int m_boundPort = 0;
};

// The text of an HTTP/1.1 answer with Connection: close; head only: the same without the body.
std::string HttpResponseText(const THttpResponse& response, bool headOnly = false);

// "ADDRESS:PORT" -> address and port; false when it is not a dotted IPv4 address and a port 1-65535.
bool ParseIpv4Endpoint(const std::string& text, TIpv4& address, int& port);
