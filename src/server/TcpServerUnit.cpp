#include "server/TcpServerUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SocketUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/ConnectionCountUnit.h"
#include "server/LogFileUnit.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <list>
#include <optional>
#include <system_error>

namespace {

constexpr int ListenBacklog = 15;
constexpr int AcceptSliceMs = 100;
// How long a worker waits in an accept before it looks at its idle time.
constexpr int WorkerAcceptWaitMs = 1000;
constexpr auto StopWait = std::chrono::milliseconds(5000);
// Threads of connections that ended last, left unjoined while busy: they are most likely still on their way
// out, and waiting for them would hold the next accept up.
constexpr size_t RecentlyEnded = 8;
constexpr size_t MaxIdleWorkers = 16;
constexpr auto IdleWorkerLife = std::chrono::seconds(30);
constexpr auto RefusalLogInterval = std::chrono::minutes(1);

} // namespace

// Threads and sockets:
// - Workers serve connections, each one from its accept to its close, then wait for the next; starting a
//   thread per connection cost more than all the rest of a short request. At most MaxIdleWorkers wait, none
//   much longer than IdleWorkerLife, so the threads at rest stay few.
// - Where the listener can be made to wait in the kernel (Linux), the waiting workers accept themselves, and
//   the listening thread only starts a new one whenever none is left waiting. Elsewhere the listening thread
//   accepts and hands each connection to a waiting worker, or to a new one.
// - A worker closes its connection's socket when the cycle ends, after marking it as closing under the lock,
//   and then removes the connection from the live list under the lock. A stop only shuts down live sockets
//   not marked so, under the same lock, so it never touches a handle number that was closed and perhaps
//   already reused. The listener is closed only once no worker waits in its accept any more.
// - A worker that ends moves itself to the ended list under the lock; every one is joined: by the listening
//   thread, by a stop once none is live, and by the destructor at the latest. A handler still running after
//   the stop's wait keeps using its connection and this server's lock, so destroying the server waits for it
//   to end; its socket is already shut down, so it ends as soon as the handler returns.
struct TTcpServer::TImpl {
    struct TConnectionEntry final : public TServerConnection {
        using TClock = std::chrono::steady_clock;
        TConnectionEntry(TSocket accepted, std::shared_ptr<const TExecute> run, TConnectionCounts& allCounts,
                         TIpv4 from, int fromPort)
            : socket(std::move(accepted)), execute(std::move(run)), counts(&allCounts),
              slot(&allCounts.Add(from)), peer(from), port(fromPort) {}

        TRequestOrigin Origin() const override { return {Ipv4Text(peer), port, ""}; }
        bool SendBytes(const char* data, size_t size) override {
            // The client may connect again as soon as it has the answer, before this thread is back.
            MarkAnswered();
            return !aborted && socket.SendAll(data, size) && !aborted;
        }
        bool SendSetupBytes(const char* data, size_t size) override {
            return !aborted && socket.SendAll(data, size) && !aborted;
        }
        void MarkAnswered() {
            if (!answered.exchange(true))
                counts->Answered(*slot);
        }
        long ReceiveBytes(char* data, size_t size) override {
            for (;;) {
                if (aborted)
                    return -1;
                // The deadline bounds every read of the request together, so a peer that sends a byte now and
                // then is closed as well as a silent one.
                if (deadline) {
                    const int ready = WaitForBytes();
                    if (ready == 0)
                        timedOut = true;
                    if (ready <= 0)
                        return -1;
                }
                long received = socket.Receive(data, size);
                // The listener's time-out came with the socket, and without a deadline a client may take as
                // long as it likes: it is cleared the first time it runs out, which spares the call to every
                // request that comes at once. With one, the wait above has already seen bytes.
                if (received < 0 && listenerTimeout && ReceiveTimedOut()) {
                    listenerTimeout = false;
                    socket.SetReceiveTimeout(0);
                    continue;
                }
                // A shut-down socket reads as an orderly close; the handler learns it was the stop.
                return aborted ? -1 : received;
            }
        }
        // > 0 once bytes (or the close) are there, 0 when the deadline passed, < 0 on an error.
        int WaitForBytes() const {
            for (;;) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - TClock::now());
                if (left.count() <= 0)
                    return 0;
                const int ready =
                    socket.WaitReadable(static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
                if (ready != 0)
                    return ready;
            }
        }

        TSocket socket; // closed by the serving worker, once closing is set under the lock
        std::shared_ptr<const TExecute> execute;
        std::atomic<bool> aborted{false};
        // Set once the answer goes out or the cycle ends: the connection no longer counts against the caps.
        std::atomic<bool> answered{false};
        TConnectionCounts* counts;
        TConnectionCounts::TSlot* slot; // its address's, valid while the connection is live
        TIpv4 peer;
        int port;
        std::optional<TClock::time_point> deadline; // for all of the request's bytes
        bool timedOut = false;                      // a read failed for the deadline
        // The socket still has the receive time-out of the listener it came from.
        bool listenerTimeout = false;
        bool closing = false;
        std::list<std::unique_ptr<TConnectionEntry>>::iterator position; // in the live list
    };

    struct TWorker {
        std::thread thread;
        unsigned run = 0;                       // the start it belongs to; a later one has its own workers
        TConnectionEntry* connection = nullptr; // under the lock
        std::condition_variable wake;           // a hand-over or a stop, where workers do not accept
        std::list<std::unique_ptr<TWorker>>::iterator position; // in the busy, idle or ended list
    };

    int defaultPort = 0;
    TIpv4 listenAddress = 0;
    std::vector<TIpv4Range> allowedClients;
    size_t maxConnections = 0;
    size_t maxPerClient = 0;
    std::chrono::milliseconds requestTimeout{0};
    TExecute execute;
    TConnectionLayer layer;
    bool active = false;
    int boundPort = 0;
    TSocket listener;
    bool workersAccept = false;
    std::thread listenThread;

    mutable std::mutex mutex;
    std::condition_variable changed; // a connection or a worker ended, or a stop began
    std::condition_variable supply;  // where workers accept: none is left waiting, one ended, or a stop began
    bool stopping = false;
    unsigned run = 0;
    // Under the lock: whoever accepts.
    TLogThrottle refusedLog{RefusalLogInterval};
    TLogThrottle capLog{RefusalLogInterval};
    TLogThrottle clientCapLog{RefusalLogInterval};
    TLogThrottle timeoutLog{RefusalLogInterval};
    std::shared_ptr<const TExecute> runningExecute;
    std::list<std::unique_ptr<TConnectionEntry>> live; // the live-connection set
    TConnectionCounts counts;                          // of the live ones
    std::list<std::unique_ptr<TWorker>> busy;          // workers serving a connection
    std::list<std::unique_ptr<TWorker>> idle;          // workers waiting for one, the latest last
    std::list<std::unique_ptr<TWorker>> ended;         // workers about to end, not yet joined

    void Start() {
        if (active)
            return;
        TSocket socket = ListenTcp(defaultPort, ListenBacklog, listenAddress);
        int port = socket.LocalPort();
        workersAccept = WaitInAccept(socket, WorkerAcceptWaitMs);
        listener = std::move(socket);
        {
            std::lock_guard lock(mutex);
            stopping = false;
            ++run;
            runningExecute = std::make_shared<const TExecute>(
                layer ? TExecute([layer = layer, execute = execute](TServerConnection& connection) {
                    layer(connection, static_cast<TConnectionEntry&>(connection).peer, execute);
                })
                      : execute);
        }
        try {
            listenThread = std::thread([this] { workersAccept ? Supply() : Listen(); });
        } catch (const std::system_error& error) {
            listener.Close();
            throw Exception(error.what());
        }
        boundPort = port;
        active = true;
    }

    void Stop() {
        if (!active)
            return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
            for (auto& worker : idle)
                worker->wake.notify_one();
        }
        changed.notify_all();
        supply.notify_all();
        // No connection is taken any more once the accepts are woken and the listening thread has ended.
        if (workersAccept)
            listener.ShutdownBoth();
        listenThread.join();
        // Refuses new connections at once; where workers accept, it waits until none is in an accept.
        if (!workersAccept)
            listener.Close();
        active = false;
        boundPort = 0;

        bool allEnded;
        {
            std::unique_lock lock(mutex);
            for (auto& entry : live) {
                entry->aborted = true;
                // Both directions, so that a thread waiting in a read wakes up. One being closed is left to
                // its worker.
                if (!entry->closing)
                    entry->socket.ShutdownBoth();
            }
            allEnded = changed.wait_for(lock, StopWait, [this] { return live.empty() && idle.empty(); });
        }
        listener.Close();
        JoinEnded();
        if (!allEnded)
            throw Exception("Terminate Thread Timeout");
    }

    // The listening thread where workers accept: keeps one waiting in the accept, joins those that ended.
    void Supply() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (!ended.empty()) {
                lock.unlock();
                JoinEnded();
                lock.lock();
                continue;
            }
            if (idle.empty()) {
                // Until a thread can be started, connections wait in the backlog.
                if (!StartWorker(idle, nullptr))
                    supply.wait_for(lock, std::chrono::milliseconds(AcceptSliceMs),
                                    [this] { return stopping; });
                continue;
            }
            supply.wait(lock, [this] { return stopping || idle.empty() || !ended.empty(); });
        }
    }

    // The listening thread where it accepts and hands over.
    void Listen() {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    return;
            }
            JoinEnded(RecentlyEnded);
            TSocket accepted;
            TIpv4 peer = 0;
            int peerPort = 0;
            switch (AcceptTcp(listener, AcceptSliceMs, accepted, &peer, &peerPort)) {
            case TAcceptResult::Accepted: {
                std::unique_lock lock(mutex);
                TConnectionEntry* entry = Admit(lock, std::move(accepted), peer, peerPort);
                if (entry == nullptr || HandOver(lock, entry))
                    break;
                Remove(*entry);
                [[fallthrough]];
            }
            case TAcceptResult::Failed: {
                // Ignored; but out of descriptors the socket stays readable, so wait a slice, not spin.
                std::unique_lock lock(mutex);
                changed.wait_for(lock, std::chrono::milliseconds(AcceptSliceMs), [this] { return stopping; });
                break;
            }
            case TAcceptResult::TimedOut:
                JoinEnded();
                break;
            }
        }
    }

    bool Allowed(TIpv4 peer) const {
        return allowedClients.empty() ||
               std::any_of(allowedClients.begin(), allowedClients.end(),
                           [peer](const TIpv4Range& range) { return range.Contains(peer); });
    }

    // Under the lock: the accepted connection in the live list, or null when it was refused or over a cap
    // (closed, and logged at most once a minute; the lock is released meanwhile).
    TConnectionEntry* Admit(std::unique_lock<std::mutex>& lock, TSocket accepted, TIpv4 peer, int peerPort) {
        std::string line;
        const auto now = TLogThrottle::TClock::now();
        if (!Allowed(peer)) {
            if (refusedLog.Allow(peer, now))
                line = RefusedClientLine(peer);
        } else if (maxConnections > 0 && counts.Waiting() >= maxConnections) {
            if (capLog.Allow(0, now))
                line = ConnectionCapLine(maxConnections, peer);
        } else if (maxPerClient > 0 && counts.Waiting(peer) >= maxPerClient) {
            if (clientCapLog.Allow(peer, now))
                line = ClientCapLine(maxPerClient, peer);
        } else {
            live.push_back(std::make_unique<TConnectionEntry>(std::move(accepted), runningExecute, counts,
                                                              peer, peerPort));
            TConnectionEntry* entry = live.back().get();
            entry->position = std::prev(live.end());
            if (requestTimeout.count() > 0)
                entry->deadline = now + requestTimeout;
            return entry;
        }
        lock.unlock();
        accepted.Close();
        if (!line.empty())
            WriteLog(line);
        lock.lock();
        return nullptr;
    }

    // Under the lock: the connection to a waiting worker, or to a new one; false when none could be started.
    bool HandOver(std::unique_lock<std::mutex>& lock, TConnectionEntry* entry) {
        if (idle.empty())
            return StartWorker(busy, entry);
        // The one that waited least: its stack is the most likely still in the caches.
        TWorker* worker = idle.back().get();
        busy.splice(busy.end(), idle, worker->position);
        worker->connection = entry;
        // Woken once the lock is free for it. Only this thread and a stop, after this thread has ended, join
        // workers, so it is still there.
        lock.unlock();
        worker->wake.notify_one();
        return true;
    }

    // Under the lock: a new worker in the list, serving the connection or (null) waiting to accept one.
    bool StartWorker(std::list<std::unique_ptr<TWorker>>& list, TConnectionEntry* entry) {
        list.push_back(std::make_unique<TWorker>());
        TWorker* worker = list.back().get();
        worker->position = std::prev(list.end());
        worker->run = run;
        worker->connection = entry;
        try {
            // Started under the lock, so the thread's end cannot overtake the assignment.
            worker->thread = std::thread([this, worker] { Work(*worker); });
        } catch (const std::system_error&) {
            list.pop_back();
            return false;
        }
        return true;
    }

    void Work(TWorker& worker) {
        std::unique_lock lock(mutex);
        auto waitingSince = std::chrono::steady_clock::now();
        for (;;) {
            if (worker.connection == nullptr) {
                // Waiting, in the idle list.
                if (stopping || worker.run != run) {
                    ended.splice(ended.end(), idle, worker.position);
                    break;
                }
                if (!workersAccept) {
                    // Woken by a hand-over or a stop; when neither came within its life, it ends.
                    worker.wake.wait_for(lock, IdleWorkerLife,
                                         [&] { return worker.connection != nullptr || stopping; });
                    if (worker.connection == nullptr) {
                        ended.splice(ended.end(), idle, worker.position);
                        break;
                    }
                } else if (!Accept(lock, worker, waitingSince)) {
                    ended.splice(ended.end(), idle, worker.position);
                    break;
                }
                if (worker.connection == nullptr)
                    continue;
            }
            Serve(lock, *worker.connection);
            worker.connection = nullptr;
            if (stopping || worker.run != run || idle.size() >= MaxIdleWorkers) {
                ended.splice(ended.end(), busy, worker.position);
                break;
            }
            idle.splice(idle.end(), busy, worker.position);
            waitingSince = std::chrono::steady_clock::now();
        }
        changed.notify_all();
        supply.notify_one();
    }

    // Under the lock, for a worker in the idle list: one accept. False when the worker is to end (it waited
    // its life out and another one waits too); a connection it took is then its own, in the busy list.
    bool Accept(std::unique_lock<std::mutex>& lock, TWorker& worker,
                std::chrono::steady_clock::time_point waitingSince) {
        lock.unlock();
        TSocket accepted;
        TIpv4 peer = 0;
        int peerPort = 0;
        TAcceptResult result = AcceptTcp(listener, WorkerAcceptWaitMs, accepted, &peer, &peerPort);
        lock.lock();
        switch (result) {
        case TAcceptResult::Accepted:
            // Taken once a stop began: closed unread, as the stop may already have shut the live connections
            // down and would leave this one waiting for its request.
            if (stopping) {
                accepted.Close();
                return true;
            }
            if (TConnectionEntry* entry = Admit(lock, std::move(accepted), peer, peerPort)) {
                entry->listenerTimeout = true;
                worker.connection = entry;
                busy.splice(busy.end(), idle, worker.position);
                if (idle.empty())
                    supply.notify_one();
            }
            return true;
        case TAcceptResult::TimedOut:
            return idle.size() <= 1 || std::chrono::steady_clock::now() - waitingSince < IdleWorkerLife;
        case TAcceptResult::Failed:
            // Out of descriptors the accept fails at once: wait a slice, not spin. A stop ends it.
            changed.wait_for(lock, std::chrono::milliseconds(AcceptSliceMs), [this] { return stopping; });
            return true;
        }
        return true;
    }

    // Runs the cycle, then closes the connection; with the lock held before and after.
    void Serve(std::unique_lock<std::mutex>& lock, TConnectionEntry& entry) {
        lock.unlock();
        try {
            if (entry.execute && *entry.execute)
                (*entry.execute)(entry);
        } catch (...) {
            // A failed cycle only ends its own connection.
        }
        // Closed outside the lock, which every accept needs; marked first, so that a stop leaves the handle
        // alone meanwhile.
        entry.MarkAnswered();
        lock.lock();
        entry.closing = true;
        const bool logTimeout = entry.timedOut && timeoutLog.Allow(entry.peer, TLogThrottle::TClock::now());
        lock.unlock();
        entry.socket.ShutdownSend();
        entry.socket.Close();
        if (logTimeout)
            WriteLog(RequestTimeoutLine(entry.peer));
        lock.lock();
        Remove(entry);
        changed.notify_all();
    }

    // Under the lock.
    void Remove(TConnectionEntry& entry) {
        counts.Remove(entry.peer, entry.answered);
        live.erase(entry.position);
    }

    // Joins the ended workers but the last `keep` of them.
    void JoinEnded(size_t keep = 0) {
        std::list<std::unique_ptr<TWorker>> done;
        {
            std::lock_guard lock(mutex);
            if (ended.size() <= keep)
                return;
            done.splice(done.end(), ended, ended.begin(), std::prev(ended.end(), static_cast<long>(keep)));
        }
        for (auto& worker : done) {
            if (worker->thread.joinable())
                worker->thread.join();
        }
    }
};

TTcpServer::TTcpServer() : m_impl(std::make_unique<TImpl>()) {}

TTcpServer::~TTcpServer() {
    try {
        m_impl->Stop();
    } catch (...) {
        // Nobody to tell while being destroyed.
    }
    {
        std::unique_lock lock(m_impl->mutex);
        m_impl->changed.wait(lock, [this] { return m_impl->busy.empty() && m_impl->idle.empty(); });
    }
    m_impl->JoinEnded();
}

void TTcpServer::SetDefaultPort(int port) {
    m_impl->defaultPort = port;
}

int TTcpServer::DefaultPort() const {
    return m_impl->defaultPort;
}

void TTcpServer::SetListenAddress(TIpv4 address) {
    m_impl->listenAddress = address;
}

void TTcpServer::SetAllowedClients(std::vector<TIpv4Range> ranges) {
    m_impl->allowedClients = std::move(ranges);
}

void TTcpServer::SetMaxConnections(size_t cap) {
    m_impl->maxConnections = cap;
}

void TTcpServer::SetMaxConnectionsPerClient(size_t cap) {
    m_impl->maxPerClient = cap;
}

void TTcpServer::SetRequestTimeout(std::chrono::milliseconds timeout) {
    m_impl->requestTimeout = timeout;
}

void TTcpServer::SetOnExecute(TExecute execute) {
    m_impl->execute = std::move(execute);
}

void TTcpServer::SetConnectionLayer(TConnectionLayer layer) {
    m_impl->layer = std::move(layer);
}

void TTcpServer::SetRequestHandler(TRequestHandler handler) {
    SetOnExecute(
        [handler = std::move(handler)](TServerConnection& connection) { ServeRequest(connection, handler); });
}

void TTcpServer::SetActive(bool active) {
    if (active)
        m_impl->Start();
    else
        m_impl->Stop();
}

bool TTcpServer::Active() const {
    return m_impl->active;
}

int TTcpServer::BoundPort() const {
    return m_impl->boundPort;
}

size_t TTcpServer::LiveConnectionCount() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->live.size();
}
