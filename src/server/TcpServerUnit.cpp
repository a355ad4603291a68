#include "server/TcpServerUnit.h"

#include "platform/SysUtilsUnit.h"
#include "server/ConnectionUnit.h"
#include "server/LogFileUnit.h"

#include <atomic>
#include <list>
#include <system_error>
#include <thread>

namespace {

constexpr int DefaultListenBacklog = 15;
// Enough that a slow store call does not hold the others up, and few enough that requests waiting for the one
// encoder do not queue there in numbers, out of their clients' turns.
constexpr size_t DefaultMaxWorkers = 8;
// Two threads move every connection's bytes, each with an event loop of its own and its share of the
// connections, so that neither wakes the other: one keeps serving while the other is in a TLS handshake's
// arithmetic.
constexpr unsigned IoThreads = 2;
// How long an accept that failed (out of descriptors) waits before the next: the listener stays readable, so
// it would otherwise spin.
constexpr auto AcceptRetry = std::chrono::milliseconds(100);
constexpr auto StopWait = std::chrono::milliseconds(5000);

} // namespace

// One start of the listener: its I/O threads, its connections and their workers. Destroyed by the stop, or,
// when handlers outlived the stop's wait, by the server's destructor once they have ended.
class TListenerRun {
public:
    TListenerRun(TAdmission::TLimits limits, TRequestHandler handler, std::chrono::milliseconds timeout,
                 size_t maxWorkers, std::shared_ptr<const TTlsContext> tls,
                 std::shared_ptr<TServerStats> stats)
        : m_shared(std::move(limits), std::move(handler), timeout),
          m_workers(std::make_unique<TWorkerPool>(maxWorkers)), m_tlsContext(std::move(tls)),
          m_stats(std::move(stats)) {
        m_shared.Workers = m_workers.get();
        m_shared.Stats = m_stats.get();
#ifdef DOORLOCK_WITH_OPENSSL
        if (m_tlsContext) {
            // The context's SSL_CTX, shared: asio's context frees its reference when it goes.
            SSL_CTX* native = static_cast<SSL_CTX*>(TlsNativeContext(*m_tlsContext));
            SSL_CTX_up_ref(native);
            m_tls = std::make_unique<asio::ssl::context>(native);
            m_shared.Tls = m_tls.get();
        }
#endif
    }

    ~TListenerRun() {
        // Handlers still running post their answers to the I/O context: it must outlive them.
        m_workers.reset();
    }

    // Raises with the bind's message.
    int Start(int port, int backlog, TIpv4 address) {
        TSocket listener = ListenTcp(port, backlog, address);
        const int bound = listener.LocalPort();
        asio::error_code error;
        m_acceptor.assign(asio::ip::tcp::v4(), listener.Release(), error);
        if (error)
            throw Exception(SocketErrorMessage(error.value()));
        Accept();
        try {
            for (const std::unique_ptr<asio::io_context>& io : m_ios) {
                // A loop with no connection yet must not return from run().
                m_keepRunning.push_back(asio::make_work_guard(*io));
                m_threads.emplace_back([&io = *io] { io.run(); });
            }
        } catch (const std::system_error& e) {
            Stop(std::chrono::steady_clock::now());
            throw Exception(e.what());
        }
        return bound;
    }

    // True when every handler had ended by the deadline.
    bool Stop(std::chrono::steady_clock::time_point deadline) {
        m_shared.Stopping = true;
        // The I/O threads end; then nothing else touches a socket, and the stop closes them all.
        for (const std::unique_ptr<asio::io_context>& io : m_ios)
            io->stop();
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
        asio::error_code ignored;
        m_acceptor.close(ignored);
        m_retry.cancel();
        for (const std::shared_ptr<TConnection>& connection : m_shared.LiveConnections())
            connection->CloseNow();
        return m_workers->WaitIdle(deadline);
    }

    // True when the probes posted last time have run on every I/O thread since; then the next ones are
    // posted.
    bool Responds() {
        const uint64_t sent = m_probeSent;
        for (const std::atomic<uint64_t>& run : m_probeRun) {
            if (run.load() != sent)
                return false;
        }
        m_probeSent = sent + 1;
        for (size_t i = 0; i < m_ios.size(); ++i)
            asio::post(*m_ios[i], [this, i, sent] { m_probeRun[i] = sent + 1; });
        return true;
    }

    // For the monitor, which may ask at any pace: false when a probe posted to an I/O thread has waited
    // longer than bound. A new probe is posted to each thread that has none waiting.
    bool RespondsWithin(std::chrono::steady_clock::duration bound) {
        const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        bool responds = true;
        for (size_t i = 0; i < m_ios.size(); ++i) {
            const int64_t posted = m_monitorProbe[i].load();
            if (posted != 0) {
                if (now - posted > bound.count())
                    responds = false;
                continue;
            }
            m_monitorProbe[i] = now;
            asio::post(*m_ios[i], [this, i] { m_monitorProbe[i] = 0; });
        }
        return responds;
    }
    // How long jobs have waited for a worker without any being taken.
    std::chrono::steady_clock::duration WorkersStalledFor() const {
        return m_workers->StalledFor(std::chrono::steady_clock::now());
    }

    size_t LiveCount() {
        return m_shared.LiveCount();
    }
    size_t Workers() const {
        return m_workers->Threads();
    }

private:
    void Accept() {
        // Each connection to the next I/O thread's loop, which alone then drives it.
        asio::io_context& loop = *m_ios[m_nextLoop++ % m_ios.size()];
        m_acceptor.async_accept(loop, [this](const asio::error_code& error, asio::ip::tcp::socket socket) {
            if (error == asio::error::operation_aborted || m_shared.Stopping)
                return;
            if (error) {
                m_retry.expires_after(AcceptRetry);
                m_retry.async_wait([this](const asio::error_code& waited) {
                    if (!waited)
                        Accept();
                });
                return;
            }
            Admit(std::move(socket));
            Accept();
        });
    }

    void Admit(asio::ip::tcp::socket socket) {
        asio::error_code error;
        const asio::ip::tcp::endpoint remote = socket.remote_endpoint(error);
        if (error)
            return; // gone already
        const asio::ip::address address = remote.address();
        TIpv4 peer = 0;
        TClientKey key;
        if (address.is_v4()) {
            peer = address.to_v4().to_uint();
            key = TClientKey(peer);
        } else {
            key = TClientKey::FromIpv6(address.to_v6().to_bytes());
            peer = key.Ipv6 ? 0 : static_cast<TIpv4>(key.Value);
        }
        TAdmission::TDecision decision = m_shared.Admission.Admit(key, TAdmission::TClock::now());
        if (decision.Closed) {
            if (std::shared_ptr<TConnection> closed = m_shared.Find(*decision.Closed))
                closed->Abort();
            if (m_shared.Stats != nullptr)
                m_shared.Stats->Refused("reading_cap");
        }
        if (decision.Refusal != nullptr && m_shared.Stats != nullptr)
            m_shared.Stats->Refused(decision.Refusal);
        if (!decision.Line.empty())
            WriteLog(decision.Line);
        if (!decision.Admitted)
            return; // the socket closes with this scope, unread
        auto connection =
            std::make_shared<TConnection>(m_shared, std::move(socket), decision.Id, key, peer, remote.port());
        m_shared.Add(decision.Id, connection);
        connection->Start();
    }

    // Declared in the order they may be destroyed in reverse: connections still held by the I/O context's
    // handlers need the shared part and the TLS context.
    TConnectionShared m_shared;
    std::unique_ptr<TWorkerPool> m_workers;
    std::shared_ptr<const TTlsContext> m_tlsContext;
    std::shared_ptr<TServerStats> m_stats;
#ifdef DOORLOCK_WITH_OPENSSL
    std::unique_ptr<asio::ssl::context> m_tls;
#endif
    // One loop per I/O thread (a hint of one thread each: no locking beyond what posts from workers need).
    std::vector<std::unique_ptr<asio::io_context>> m_ios = [] {
        std::vector<std::unique_ptr<asio::io_context>> ios;
        for (unsigned i = 0; i < IoThreads; ++i)
            ios.push_back(std::make_unique<asio::io_context>(1));
        return ios;
    }();
    asio::ip::tcp::acceptor m_acceptor{*m_ios.front()};
    asio::steady_timer m_retry{*m_ios.front()};
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> m_keepRunning;
    size_t m_nextLoop = 0; // by the accepting loop only
    std::vector<std::thread> m_threads;
    uint64_t m_probeSent = 0; // by the thread that asks Responds
    std::atomic<uint64_t> m_probeRun[IoThreads] = {};
    // The monitor's probes: when each was posted (steady clock ticks), 0 once run. Guarded by the server's
    // mutex on the asking side.
    std::atomic<int64_t> m_monitorProbe[IoThreads] = {};
};

struct TTcpServer::TImpl {
    int defaultPort = 0;
    TIpv4 listenAddress = 0;
    int backlog = DefaultListenBacklog;
    std::vector<TIpv4Range> allowedClients;
    size_t maxConnections = 0;
    size_t maxReading = 0;
    size_t maxPerClient = 0;
    size_t maxWorkers = DefaultMaxWorkers;
    std::chrono::milliseconds requestTimeout{0};
    TRequestHandler handler;
    std::shared_ptr<const TTlsContext> tls;
    std::shared_ptr<TServerStats> stats;
    int boundPort = 0;
    std::unique_ptr<TListenerRun> run;
    // Runs whose stop timed out, kept until their handlers end.
    std::list<std::unique_ptr<TListenerRun>> stuck;
    mutable std::mutex mutex; // run and stuck, for the counts asked from other threads

    void Start() {
        if (run)
            return;
        auto started = std::make_unique<TListenerRun>(
            TAdmission::TLimits{allowedClients, maxConnections, maxReading, maxPerClient}, handler,
            requestTimeout, maxWorkers, tls, stats);
        const int port = started->Start(defaultPort, backlog, listenAddress);
        std::lock_guard guard(mutex);
        run = std::move(started);
        boundPort = port;
    }

    void Stop() {
        if (!run)
            return;
        const bool ended = run->Stop(std::chrono::steady_clock::now() + StopWait);
        std::unique_ptr<TListenerRun> stopped;
        {
            std::lock_guard guard(mutex);
            stopped = std::move(run);
            boundPort = 0;
            if (!ended)
                stuck.push_back(std::move(stopped));
        }
        stopped.reset();
        if (!ended)
            throw Exception("Terminate Thread Timeout");
    }
};

TTcpServer::TTcpServer() : m_impl(std::make_unique<TImpl>()) {}

TTcpServer::~TTcpServer() {
    try {
        m_impl->Stop();
    } catch (...) {
        // Nobody to tell while being destroyed; the stuck runs below wait for their handlers.
    }
    std::lock_guard guard(m_impl->mutex);
    m_impl->stuck.clear();
}

void TTcpServer::SetDefaultPort(int port) {
    m_impl->defaultPort = port;
}

int TTcpServer::DefaultPort() const {
    return m_impl->defaultPort;
}

void TTcpServer::SetRequestHandler(TRequestHandler handler) {
    m_impl->handler = std::move(handler);
}

void TTcpServer::SetTls(std::shared_ptr<const TTlsContext> context) {
    m_impl->tls = std::move(context);
}

void TTcpServer::SetStats(std::shared_ptr<TServerStats> stats) {
    m_impl->stats = std::move(stats);
}

void TTcpServer::SetListenAddress(TIpv4 address) {
    m_impl->listenAddress = address;
}

void TTcpServer::SetListenBacklog(int backlog) {
    m_impl->backlog = backlog > 0 ? backlog : DefaultListenBacklog;
}

void TTcpServer::SetAllowedClients(std::vector<TIpv4Range> ranges) {
    m_impl->allowedClients = std::move(ranges);
}

void TTcpServer::SetMaxConnections(size_t cap) {
    m_impl->maxConnections = cap;
}

void TTcpServer::SetMaxReadingConnections(size_t cap) {
    m_impl->maxReading = cap;
}

void TTcpServer::SetMaxConnectionsPerClient(size_t cap) {
    m_impl->maxPerClient = cap;
}

void TTcpServer::SetRequestTimeout(std::chrono::milliseconds timeout) {
    m_impl->requestTimeout = timeout;
}

void TTcpServer::SetMaxWorkers(size_t workers) {
    m_impl->maxWorkers = workers > 0 ? workers : DefaultMaxWorkers;
}

void TTcpServer::SetActive(bool active) {
    if (active)
        m_impl->Start();
    else
        m_impl->Stop();
}

bool TTcpServer::Active() const {
    std::lock_guard guard(m_impl->mutex);
    return m_impl->run != nullptr;
}

int TTcpServer::BoundPort() const {
    std::lock_guard guard(m_impl->mutex);
    return m_impl->boundPort;
}

size_t TTcpServer::LiveConnectionCount() const {
    std::lock_guard guard(m_impl->mutex);
    size_t live = m_impl->run ? m_impl->run->LiveCount() : 0;
    for (const auto& run : m_impl->stuck)
        live += run->LiveCount();
    return live;
}

bool TTcpServer::IoResponds() {
    std::lock_guard guard(m_impl->mutex);
    return m_impl->run == nullptr || m_impl->run->Responds();
}

size_t TTcpServer::WorkerCount() const {
    std::lock_guard guard(m_impl->mutex);
    return m_impl->run ? m_impl->run->Workers() : 0;
}

bool TTcpServer::Live(std::chrono::steady_clock::duration ioBound,
                      std::chrono::steady_clock::duration workerBound) {
    std::lock_guard guard(m_impl->mutex);
    if (m_impl->run == nullptr)
        return false;
    return m_impl->run->RespondsWithin(ioBound) && m_impl->run->WorkersStalledFor() <= workerBound;
}
