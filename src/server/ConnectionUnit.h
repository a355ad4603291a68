#pragma once

#include "platform/SocketUnit.h"
#include "server/AdmissionUnit.h"
#include "server/ConnectionLogUnit.h"
#include "server/ServerStatsUnit.h"
#include "server/WireUnit.h"
#include "server/WorkerPoolUnit.h"

#include <asio.hpp>
#ifdef DOORLOCK_WITH_OPENSSL
#include <asio/ssl.hpp>
#endif

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

class TConnection;

// What the connections of one run of a listener share.
struct TConnectionShared {
    TConnectionShared(TAdmission::TLimits limits, TRequestHandler handler, std::chrono::milliseconds timeout);

    TAdmission Admission;
    const TRequestHandler Handler;
    // For all of a request's bytes (its TLS handshake included), from the accept; 0: none.
    const std::chrono::milliseconds RequestTimeout;
    TWorkerPool* Workers = nullptr;
    TServerStats* Stats = nullptr; // null: nothing counted
#ifdef DOORLOCK_WITH_OPENSSL
    asio::ssl::context* Tls = nullptr; // null: plain TCP
#endif
    // Set once the run stops: what workers finish is no longer sent.
    std::atomic<bool> Stopping{false};

    // Lines of connections that ran out of time or failed their handshake, at most once a minute per client.
    bool AllowTimeoutLine(const TClientKey& key);
    bool AllowTlsLine(const TClientKey& key);

    // The live connections by their admission, for a stop and for closing one in favour of another.
    void Add(TAdmission::TId id, const std::shared_ptr<TConnection>& connection);
    void Erase(TAdmission::TId id);
    std::shared_ptr<TConnection> Find(TAdmission::TId id);
    std::vector<std::shared_ptr<TConnection>> LiveConnections();
    size_t LiveCount();

private:
    std::mutex m_logLock;
    TLogThrottle m_timeoutLog{std::chrono::minutes(1)};
    TLogThrottle m_tlsLog{std::chrono::minutes(1)};
    std::mutex m_liveLock;
    std::unordered_map<TAdmission::TId, std::weak_ptr<TConnection>> m_live;
};

// One accepted connection, driven by one of the listener's I/O threads: its TLS handshake, the
// request's bytes up to the NUL within the deadline, then a worker for the handler, the answer's bytes and
// the close. An idle or handshaking connection costs its socket and this object, never a thread.
class TConnection : public std::enable_shared_from_this<TConnection> {
public:
    TConnection(TConnectionShared& shared, asio::ip::tcp::socket socket, TAdmission::TId id, TClientKey key,
                TIpv4 peer, int port);
    ~TConnection(); // no longer counts, and leaves the live set

    // On any thread: the deadline, the handshake and the reads begin on the connection's I/O thread.
    void Start();
    // On any thread: the socket is closed on its I/O thread; what was under way ends.
    void Abort();
    // Only while no I/O thread runs (a stop): the socket closed at once.
    void CloseNow();

private:
    void StartOnStrand();
    void OnDeadline(const asio::error_code& error);
    void OnHandshake(const asio::error_code& error);
    void ReadMore();
    void OnReadable(const asio::error_code& error);
    void OnRead(const asio::error_code& error, size_t size);
    // The bytes read to the frame: more reads, the worker, or the close of a request that is too long.
    void Feed(const char* data, size_t size);
    void Dispatch();
    void Work();
    void Answer(std::optional<std::string> response);
    // Whether this worker sent the answer (or closed without one) itself: a plain connection whose socket
    // takes the answer at once needs no turn on its I/O thread.
    bool AnswerFromWorker(std::optional<std::string>& response);
    // The answer's count, as it is handed to the socket.
    void CountAnswer();
    void Close();
    void CloseSocket();
    void CloseSocketLocked();

    TConnectionShared& m_shared;
    asio::ip::tcp::socket m_socket;
#ifdef DOORLOCK_WITH_OPENSSL
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> m_tls;
#endif
    asio::steady_timer m_timer;
    const TAdmission::TId m_id;
    const TClientKey m_key;
    const TIpv4 m_peer;
    const int m_port;
    TFrameReader m_frame;
    std::string m_subject;
    std::string m_answer;                           // while it is sent
    std::chrono::steady_clock::time_point m_readAt; // the request read in full
    TRequestReport m_report;                        // the request's type, once handled
    std::string m_resultCode;                       // the answer's ResultCode
    std::unique_ptr<char[]> m_buffer;               // TLS reads land here
    bool m_secured = false;                         // the TLS handshake is done and no close has begun
    bool m_readDone = false; // the request was read in full: the deadline no longer applies
    bool m_timedOut = false;
    // Set once the socket is closed. The socket's close and a worker's answer take m_socketLock: a worker
    // touches the socket only after the reads ended, when only a stop may close it meanwhile.
    std::atomic<bool> m_closed{false};
    std::mutex m_socketLock;
};
