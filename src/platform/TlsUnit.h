#pragma once

#include "platform/DateTimeUnit.h"
#include "platform/SocketUnit.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// TLS (1.2 or later) over any byte stream, for the host's listeners and for the clients that talk to them.
// Built on OpenSSL where the build has it; without it every context refuses to be made.

// The plain bytes a session runs over.
class TTlsChannel {
public:
    virtual ~TTlsChannel() = default;
    // Up to size bytes: the count, 0 when the peer closed, -1 on an error or a time-out.
    virtual long ReceiveBytes(char* data, size_t size) = 0;
    // Every byte; false when the peer is gone or the connection failed.
    virtual bool SendBytes(const char* data, size_t size) = 0;
};

// A connected socket as a channel (the socket stays the caller's).
class TTlsSocketChannel : public TTlsChannel {
public:
    explicit TTlsSocketChannel(const TSocket& socket) : m_socket(socket) {}
    long ReceiveBytes(char* data, size_t size) override { return m_socket.Receive(data, size); }
    bool SendBytes(const char* data, size_t size) override { return m_socket.SendAll(data, size); }

private:
    const TSocket& m_socket;
};

// Whether this build can speak TLS at all.
bool TlsAvailable();

// What a side's certificate says of itself: its subject, one line as PeerSubject gives it (UTF-8), and the
// time it is valid from and until (local time).
struct TTlsCertificateInfo {
    std::string Subject;
    TDateTime NotBefore = 0;
    TDateTime NotAfter = 0;
};

// Where a certificate stands at a time: within its validity with more than the warning days left, within it
// but expiring within them, past its end, or before its start.
enum class TCertificateTime { Valid, ExpiresSoon, Expired, NotYetValid };
TCertificateTime CertificateTimeAt(const TTlsCertificateInfo& certificate, TDateTime now, int warningDays);

// The certificates and keys of one side, read once (files are read whole, PEM, as regular files only: a FIFO
// or a device in a file's place fails at once instead of blocking).
class TTlsContext {
public:
    // The host's side: its certificate chain and key; clientCA non-empty: a client must present a certificate
    // that chains to one of its CAs. Raises Exception with a line naming the file and the setting when a file
    // is missing or unreadable, holds no certificate or key, or the key does not match the certificate.
    static std::shared_ptr<TTlsContext> ForServer(const std::string& certificateFile,
                                                  const std::string& privateKeyFile,
                                                  const std::string& clientCAFile);
    // A client's side: caFile holds the CAs the host's certificate must chain to; certificateFile and
    // privateKeyFile (both or neither) are the certificate it shows. Raises Exception as ForServer does.
    static std::shared_ptr<TTlsContext> ForClient(const std::string& caFile,
                                                  const std::string& certificateFile,
                                                  const std::string& privateKeyFile);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    bool RequiresClientCertificate() const;
    // The certificate this side shows (the first of its file); empty for a client that shows none.
    const TTlsCertificateInfo& Certificate() const;
    // The CAs a peer's certificate must chain to (TlsClientCA, or the client's CA file), in the file's order.
    const std::vector<TTlsCertificateInfo>& CACertificates() const;

    struct TImpl;
    explicit TTlsContext(std::unique_ptr<TImpl> impl);
    TImpl& Impl() const { return *m_impl; }

private:
    std::unique_ptr<TImpl> m_impl;
};

// A client's last session with a host, offered on its next connection so that the full handshake is spared.
// One per client thread; not shared between threads.
class TTlsResumption {
public:
    TTlsResumption();
    ~TTlsResumption();
    TTlsResumption(const TTlsResumption&) = delete;
    TTlsResumption& operator=(const TTlsResumption&) = delete;

    struct TImpl;
    TImpl& Impl() const { return *m_impl; }

private:
    std::unique_ptr<TImpl> m_impl;
};

// One TLS connection over a channel; lives no longer than either.
class TTlsSession {
public:
    TTlsSession(const TTlsContext& context, TTlsChannel& channel);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // The host's handshake; false with Error() set when it failed (a client without an acceptable
    // certificate, plain text, a close, the channel's time-out).
    bool Accept();
    // The client's handshake: the host's certificate must be valid for peerName (a dotted IPv4 address is
    // checked against the certificate's addresses, any other name against its DNS names). resumption, when
    // given, is offered and then updated once the session has been read from.
    bool Connect(const std::string& peerName, TTlsResumption* resumption = nullptr);

    // Up to size bytes of the peer's data: the count; 0 when it closed; -1 on an error (Error() set).
    long Receive(char* data, size_t size);
    // Every byte; false with Error() set when it fails.
    bool Send(const char* data, size_t size);
    // Tells the peer that nothing more comes (without waiting for its answer).
    void Shutdown();

    // The subject of the peer's verified certificate, one line ("CN=...,O=..."), control characters as
    // \xNN; empty without one.
    std::string PeerSubject() const;
    bool Resumed() const;
    const std::string& Error() const { return m_error; }

    struct TImpl;

private:
    std::unique_ptr<TImpl> m_impl;
    std::string m_error;
};

// For the listeners, which drive OpenSSL through their own event loop (OpenSSL builds only): the context's
// SSL_CTX; and of a server-side SSL connection, the peer's subject as PeerSubject gives it, and why its
// handshake failed as Accept's Error() says it (sslError: the OpenSSL error code of the failure, 0 when the
// connection closed or timed out before the handshake ended).
void* TlsNativeContext(const TTlsContext& context);
std::string TlsPeerSubject(void* ssl);
std::string TlsAcceptFailure(void* ssl, unsigned long sslError);

// Text with every control character (C0, DEL, and C1 in UTF-8) written as \xNN, so that it stays one line.
std::string EscapeControlCharacters(const std::string& text);
