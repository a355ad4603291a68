#include "server/ConnectionUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/TlsUnit.h"
#include "server/LogFileUnit.h"
#include "server/TlsServerUnit.h"

#include <algorithm>

namespace {

// A TLS close waits this long for the client's close_notify (most clients close at once once they have the
// answer's NUL); then the socket is closed regardless.
constexpr auto TlsCloseWait = std::chrono::seconds(2);
// Plain reads go through one buffer per I/O thread, so an idle connection holds no buffer of its own.
constexpr size_t ReadChunk = std::min(ReceiveChunk, MaxRequestLength + 1);
// A TLS connection keeps one (the TLS layer holds its records anyway).
constexpr size_t TlsReadChunk = 4096;

} // namespace

TConnectionShared::TConnectionShared(TAdmission::TLimits limits, TRequestHandler handler,
                                     std::chrono::milliseconds timeout)
    : Admission(std::move(limits)), Handler(std::move(handler)), RequestTimeout(timeout) {}

bool TConnectionShared::AllowTimeoutLine(const TClientKey& key) {
    std::lock_guard guard(m_logLock);
    return m_timeoutLog.Allow(key, TLogThrottle::TClock::now());
}

bool TConnectionShared::AllowTlsLine(const TClientKey& key) {
    std::lock_guard guard(m_logLock);
    return m_tlsLog.Allow(key, TLogThrottle::TClock::now());
}

void TConnectionShared::Add(TAdmission::TId id, const std::shared_ptr<TConnection>& connection) {
    std::lock_guard guard(m_liveLock);
    m_live[id] = connection;
}

void TConnectionShared::Erase(TAdmission::TId id) {
    std::lock_guard guard(m_liveLock);
    m_live.erase(id);
}

std::shared_ptr<TConnection> TConnectionShared::Find(TAdmission::TId id) {
    std::lock_guard guard(m_liveLock);
    auto found = m_live.find(id);
    return found != m_live.end() ? found->second.lock() : nullptr;
}

std::vector<std::shared_ptr<TConnection>> TConnectionShared::LiveConnections() {
    std::lock_guard guard(m_liveLock);
    std::vector<std::shared_ptr<TConnection>> live;
    live.reserve(m_live.size());
    for (auto& [id, connection] : m_live) {
        (void)id;
        if (auto held = connection.lock())
            live.push_back(std::move(held));
    }
    return live;
}

size_t TConnectionShared::LiveCount() {
    std::lock_guard guard(m_liveLock);
    return m_live.size();
}

TConnection::TConnection(TConnectionShared& shared, asio::ip::tcp::socket socket, TAdmission::TId id,
                         TClientKey key, TIpv4 peer, int port)
    : m_shared(shared), m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_id(id), m_key(key),
      m_peer(peer), m_port(port) {}

TConnection::~TConnection() {
    m_shared.Admission.Remove(m_id);
    m_shared.Erase(m_id);
}

void TConnection::Start() {
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->StartOnStrand(); });
}

void TConnection::Abort() {
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->CloseSocket(); });
}

void TConnection::CloseNow() {
    CloseSocket();
}

void TConnection::CloseSocket() {
    std::lock_guard guard(m_socketLock);
    CloseSocketLocked();
}

void TConnection::CloseSocketLocked() {
    m_closed = true;
    asio::error_code ignored;
    m_timer.cancel();
    m_socket.close(ignored);
}

void TConnection::StartOnStrand() {
    if (m_closed)
        return;
    // The answer and a TLS close go out in separate writes: without this the second waits for the client's
    // delayed acknowledgement of the first (40 ms on Linux).
    asio::error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (m_shared.RequestTimeout.count() > 0) {
        m_timer.expires_after(m_shared.RequestTimeout);
        m_timer.async_wait(
            [self = shared_from_this()](const asio::error_code& error) { self->OnDeadline(error); });
    }
#ifdef DOORLOCK_WITH_OPENSSL
    if (m_shared.Tls != nullptr) {
        m_tls = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(m_socket, *m_shared.Tls);
        m_tls->async_handshake(
            asio::ssl::stream_base::server,
            [self = shared_from_this()](const asio::error_code& error) { self->OnHandshake(error); });
        return;
    }
#endif
    m_socket.non_blocking(true, ignored);
    // A client sends its request as soon as it connects: it is usually there already.
    OnReadable({});
}

void TConnection::OnDeadline(const asio::error_code& error) {
    // Cancelled, or ran out just as the last read ended (its handler then already waited on the strand): the
    // reads ended in time. Or the connection is closing.
    if (error || m_closed || m_readDone)
        return;
    m_timedOut = true;
    asio::error_code ignored;
    // Every pending operation ends with an error; the one that ends closes the connection and says why.
    m_socket.cancel(ignored);
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
}

void TConnection::OnHandshake(const asio::error_code& error) {
#ifdef DOORLOCK_WITH_OPENSSL
    if (error) {
        if (!m_closed && m_shared.AllowTlsLine(m_key)) {
            const unsigned long code = error.category() == asio::error::get_ssl_category()
                                           ? static_cast<unsigned long>(error.value())
                                           : 0;
            WriteLog(TlsRefusedLine(m_peer, TlsAcceptFailure(m_tls->native_handle(), code)));
        }
        if (m_shared.Stats != nullptr && !m_closed) {
            m_shared.Stats->TlsHandshakeFailed();
            m_shared.Stats->Refused("tls");
        }
        Close();
        return;
    }
    m_secured = true;
    m_subject = Utf8ToGbk(TlsPeerSubject(m_tls->native_handle()));
    m_buffer = std::make_unique<char[]>(TlsReadChunk);
#else
    (void)error;
#endif
    ReadMore();
}

void TConnection::ReadMore() {
    if (m_closed)
        return;
#ifdef DOORLOCK_WITH_OPENSSL
    if (m_tls) {
        m_tls->async_read_some(asio::buffer(m_buffer.get(), std::min(TlsReadChunk, m_frame.Wanted())),
                               [self = shared_from_this()](const asio::error_code& error, size_t size) {
                                   self->OnRead(error, size);
                               });
        return;
    }
#endif
    m_socket.async_wait(
        asio::ip::tcp::socket::wait_read,
        [self = shared_from_this()](const asio::error_code& error) { self->OnReadable(error); });
}

void TConnection::OnReadable(const asio::error_code& error) {
    if (error) {
        Close();
        return;
    }
    thread_local char chunk[ReadChunk];
    asio::error_code readError;
    const size_t size =
        m_socket.read_some(asio::buffer(chunk, std::min(ReadChunk, m_frame.Wanted())), readError);
    if (readError == asio::error::would_block || readError == asio::error::try_again) {
        ReadMore();
        return;
    }
    if (readError) {
        Close();
        return;
    }
    Feed(chunk, size);
}

void TConnection::OnRead(const asio::error_code& error, size_t size) {
    if (error || size == 0) {
        Close();
        return;
    }
    Feed(m_buffer.get(), size);
}

void TConnection::Feed(const char* data, size_t size) {
    switch (m_frame.Feed(data, size)) {
    case TFrameReader::TState::NeedMore:
        ReadMore();
        return;
    case TFrameReader::TState::Complete:
        Dispatch();
        return;
    case TFrameReader::TState::TooLong:
        LogTooLongRequest({Ipv4Text(m_peer), m_port, m_subject});
        if (m_shared.Stats != nullptr)
            m_shared.Stats->Unanswered("too_long");
        Close();
        return;
    }
}

void TConnection::Dispatch() {
    // The deadline bounds the request's bytes only; the handler takes what it takes.
    m_readDone = true;
    m_readAt = std::chrono::steady_clock::now();
    m_timer.cancel();
    if (m_closed || m_timedOut) {
        Close();
        return;
    }
    std::string line;
    const bool admitted = m_shared.Admission.StartWork(m_id, TAdmission::TClock::now(), line);
    if (!line.empty())
        WriteLog(line);
    if (!admitted || m_shared.Workers == nullptr ||
        !m_shared.Workers->Post(m_key, [self = shared_from_this()] { self->Work(); })) {
        if (m_shared.Stats != nullptr)
            m_shared.Stats->Refused("workers_cap");
        Close();
    }
}

void TConnection::Work() {
    // Once the run stops, its sockets are closed and its I/O threads gone: nothing is handled or sent, and
    // the connection is let go here.
    if (m_shared.Stopping)
        return;
    std::optional<std::string> response;
    TRequestOrigin origin{Ipv4Text(m_peer), m_port, m_subject};
    if (m_shared.Stats != nullptr)
        origin.Report = &m_report;
    try {
        response = AnswerRequest(m_frame.Request(), origin, m_shared.Handler);
    } catch (...) {
        // Logged with its reason; the connection closes without an answer.
    }
    if (m_shared.Stats != nullptr) {
        if (response)
            m_resultCode = std::string(ResponseResultCode(*response));
        else
            m_shared.Stats->Unanswered(m_report.Unanswered != nullptr ? m_report.Unanswered
                                                                      : "handler_error");
    }
    m_frame = TFrameReader();
    if (m_shared.Stopping || AnswerFromWorker(response))
        return;
    asio::post(m_socket.get_executor(),
               [self = shared_from_this(), response = std::move(response)]() mutable {
                   self->Answer(std::move(response));
               });
}

bool TConnection::AnswerFromWorker(std::optional<std::string>& response) {
#ifdef DOORLOCK_WITH_OPENSSL
    if (m_tls)
        return false; // the TLS stream is the I/O thread's
#endif
    std::lock_guard guard(m_socketLock);
    if (m_closed || m_shared.Stopping)
        return true;
    if (response) {
        // The client may connect again as soon as it has the answer, before this connection is closed.
        m_shared.Admission.Answered(m_id);
        size_t sent = 0;
        asio::error_code error;
        while (sent < response->size() && !error)
            sent +=
                m_socket.write_some(asio::buffer(response->data() + sent, response->size() - sent), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            // More than the socket takes now: the rest goes out from the I/O thread.
            response->erase(0, sent);
            return false;
        }
        CountAnswer();
    }
    // Sent, or a client that went away (which ends the cycle like an answered one), or no answer.
    asio::error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    CloseSocketLocked();
    return true;
}

void TConnection::Answer(std::optional<std::string> response) {
    if (!response || m_closed || m_shared.Stopping) {
        Close();
        return;
    }
    // The client may connect again as soon as it has the answer, before this connection is closed.
    m_shared.Admission.Answered(m_id);
    m_answer = std::move(*response);
    CountAnswer();
    auto done = [self = shared_from_this()](const asio::error_code&, size_t) {
        self->m_answer.clear();
        // A client that went away ends the cycle like an answered one.
        self->Close();
    };
#ifdef DOORLOCK_WITH_OPENSSL
    if (m_tls) {
        asio::async_write(*m_tls, asio::buffer(m_answer), std::move(done));
        return;
    }
#endif
    asio::async_write(m_socket, asio::buffer(m_answer), std::move(done));
}

void TConnection::CountAnswer() {
    if (m_shared.Stats == nullptr)
        return;
    const std::string& type = m_report.Type;
    const bool ascii = std::all_of(type.begin(), type.end(), [](char c) { return (c & 0x80) == 0; });
    // The type is in the system code page and a label must be UTF-8 (the result code is read from the
    // encoded answer).
    m_shared.Stats->Answered(ascii ? type : GbkToUtf8(type), m_resultCode,
                             std::chrono::steady_clock::now() - m_readAt);
}

// The end of every connection: a line when the deadline ended it, then the close (a TLS close first, when the
// handshake was done and nothing failed).
void TConnection::Close() {
    if (m_timedOut) {
        m_timedOut = false;
        if (m_shared.AllowTimeoutLine(m_key))
            WriteLog(RequestTimeoutLine(m_key));
    }
    if (m_closed)
        return;
#ifdef DOORLOCK_WITH_OPENSSL
    if (m_secured && !m_shared.Stopping) {
        // The close_notify goes out; the socket is closed when the client answers it or closes, or after a
        // short wait.
        m_secured = false;
        m_buffer.reset();
        m_timer.expires_after(TlsCloseWait);
        m_timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->CloseSocket();
        });
        m_tls->async_shutdown([self = shared_from_this()](const asio::error_code&) {
            asio::error_code ignored;
            self->m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            self->CloseSocket();
        });
        return;
    }
#endif
    asio::error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    CloseSocket();
}
