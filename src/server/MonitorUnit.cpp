#include "server/MonitorUnit.h"

#include "platform/SysUtilsUnit.h"
#include "server/HttpRequestUnit.h"
#include "server/WorkerPoolUnit.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

constexpr int MonitorBacklog = 16;
constexpr size_t PageThreads = 2;
constexpr size_t ReadChunk = 2048;

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

THttpResponse PlainResponse(int status, std::string body) {
    THttpResponse response;
    response.Status = status;
    response.Body = std::move(body);
    return response;
}

} // namespace

std::string HttpResponseText(const THttpResponse& response, bool headOnly) {
    std::string text = "HTTP/1.1 " + std::to_string(response.Status) + " " + ReasonPhrase(response.Status) +
                       "\r\nContent-Type: " + response.ContentType +
                       "\r\nContent-Length: " + std::to_string(response.Body.size()) +
                       "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    if (response.Status == 405)
        text += "Allow: GET, HEAD\r\n";
    text += "\r\n";
    if (!headOnly)
        text += response.Body;
    return text;
}

bool ParseIpv4Endpoint(const std::string& text, TIpv4& address, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6)
        return false;
    int value = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 65535 || !ParseIpv4(text.substr(0, colon), address))
        return false;
    port = value;
    return true;
}

// One start of the monitor.
struct TMonitorServer::TRun {
    class TConnection;

    TRun(std::vector<TIpv4Range> allowed, TMonitorPages pages, size_t cap, std::chrono::milliseconds timeout)
        : Allowed(std::move(allowed)), Pages(std::move(pages)), Cap(cap), Timeout(timeout) {}

    ~TRun() {
        io.stop();
        if (thread.joinable())
            thread.join();
        // Pages being made hold their connections and post to the stopped loop, which only drops them.
        workers.reset();
    }

    int Start(TIpv4 address, int port) {
        TSocket listener = ListenTcp(port, MonitorBacklog, address);
        const int bound = listener.LocalPort();
        asio::error_code error;
        acceptor.assign(asio::ip::tcp::v4(), listener.Release(), error);
        if (error)
            throw Exception(SocketErrorMessage(error.value()));
        Accept();
        try {
            thread = std::thread([this] { io.run(); });
        } catch (const std::system_error& e) {
            throw Exception(e.what());
        }
        return bound;
    }

    void Accept();

    const std::vector<TIpv4Range> Allowed;
    const TMonitorPages Pages;
    const size_t Cap;
    const std::chrono::milliseconds Timeout;
    std::atomic<size_t> open{0};
    asio::io_context io{1};
    asio::ip::tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    std::unique_ptr<TWorkerPool> workers = std::make_unique<TWorkerPool>(PageThreads);
    std::thread thread;
};

class TMonitorServer::TRun::TConnection : public std::enable_shared_from_this<TConnection> {
public:
    TConnection(TRun& run, asio::ip::tcp::socket socket) : m_run(run), m_socket(std::move(socket)) {
        ++m_run.open;
    }
    ~TConnection() { --m_run.open; }

    void Start() {
        m_timer.expires_after(m_run.Timeout);
        m_timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->Close();
        });
        ReadMore();
    }

private:
    void ReadMore() {
        m_socket.async_read_some(asio::buffer(m_chunk),
                                 [self = shared_from_this()](const asio::error_code& error, size_t size) {
                                     self->OnRead(error, size);
                                 });
    }

    void OnRead(const asio::error_code& error, size_t size) {
        if (error || m_closed) {
            Close();
            return;
        }
        m_head.append(m_chunk, size);
        const THttpRequest request = ParseHttpRequest(m_head);
        switch (request.State) {
        case THttpRequest::TState::NeedMore:
            ReadMore();
            return;
        case THttpRequest::TState::Bad:
            Send(PlainResponse(400, "bad request\n"), false);
            return;
        case THttpRequest::TState::TooLarge:
            Send(PlainResponse(431, "request header too large\n"), false);
            return;
        case THttpRequest::TState::Complete:
            break;
        }
        m_head.clear();
        const bool head = request.Method == "HEAD";
        if (request.Method != "GET" && !head) {
            Send(PlainResponse(405, "method not allowed\n"), false);
            return;
        }
        // The page may take a while (a readiness check); the I/O thread serves the others meanwhile.
        m_run.workers->Post(TClientKey(), [self = shared_from_this(), path = request.Target, head] {
            THttpResponse response;
            try {
                std::optional<THttpResponse> page =
                    self->m_run.Pages ? self->m_run.Pages(path) : std::nullopt;
                response = page ? std::move(*page) : PlainResponse(404, "not found\n");
            } catch (const std::exception& e) {
                response = PlainResponse(503, std::string("error: ") + e.what() + "\n");
            }
            asio::post(self->m_socket.get_executor(),
                       [self, response = std::move(response), head] { self->Send(response, head); });
        });
    }

    void Send(const THttpResponse& response, bool headOnly) {
        if (m_closed)
            return;
        m_answer = HttpResponseText(response, headOnly);
        asio::async_write(m_socket, asio::buffer(m_answer),
                          [self = shared_from_this()](const asio::error_code&, size_t) { self->Close(); });
    }

    void Close() {
        if (m_closed)
            return;
        m_closed = true;
        asio::error_code ignored;
        m_timer.cancel();
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        m_socket.close(ignored);
    }

    TRun& m_run;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer{m_socket.get_executor()};
    char m_chunk[ReadChunk];
    std::string m_head;
    std::string m_answer;
    bool m_closed = false;
};

void TMonitorServer::TRun::Accept() {
    acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted)
            return;
        if (error) {
            // Out of descriptors: the listener stays readable, so wait before the next accept.
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](const asio::error_code& waited) {
                if (!waited)
                    Accept();
            });
            return;
        }
        asio::error_code ignored;
        const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ignored);
        const bool allowed =
            !ignored &&
            (Allowed.empty() || (remote.address().is_v4() &&
                                 std::any_of(Allowed.begin(), Allowed.end(), [&](const TIpv4Range& r) {
                                     return r.Contains(remote.address().to_v4().to_uint());
                                 })));
        // Refused, or over the cap: closed with this scope, unread.
        if (allowed && open.load() < Cap)
            std::make_shared<TConnection>(*this, std::move(socket))->Start();
        Accept();
    });
}

TMonitorServer::TMonitorServer() = default;

TMonitorServer::~TMonitorServer() {
    Stop();
}

void TMonitorServer::SetAllowedClients(std::vector<TIpv4Range> ranges) {
    m_allowed = std::move(ranges);
}

void TMonitorServer::SetPages(TMonitorPages pages) {
    m_pages = std::move(pages);
}

void TMonitorServer::SetMaxConnections(size_t cap) {
    m_maxConnections = cap > 0 ? cap : 16;
}

void TMonitorServer::SetTimeout(std::chrono::milliseconds timeout) {
    m_timeout = timeout.count() > 0 ? timeout : std::chrono::milliseconds(5000);
}

void TMonitorServer::Start(TIpv4 address, int port) {
    if (m_run)
        return;
    auto run = std::make_unique<TRun>(m_allowed, m_pages, m_maxConnections, m_timeout);
    m_boundPort = run->Start(address, port);
    m_run = std::move(run);
}

void TMonitorServer::Stop() {
    m_run.reset();
    m_boundPort = 0;
}

bool TMonitorServer::Active() const {
    return m_run != nullptr;
}

int TMonitorServer::BoundPort() const {
    return m_boundPort;
}
