#include "platform/TlsUnit.h"

#include "platform/FileUnit.h"
#include "platform/SysUtilsUnit.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

namespace {

// The session id context of the host's sessions: a session resumed with a client certificate must have been
// made by this program.
constexpr unsigned char SessionIdContext[] = "doorlock-host";
// A file larger than this is no certificate chain or key of ours.
constexpr size_t MaxPemFile = 1 << 20;

struct TBioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TX509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct TKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using TBioPtr = std::unique_ptr<BIO, TBioDeleter>;
using TX509Ptr = std::unique_ptr<X509, TX509Deleter>;

// The text of the thread's first queued OpenSSL error (the reason alone), the queue then cleared.
std::string OpenSslReason(const char* otherwise) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return otherwise;
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr)
        return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The whole file, read by its name in the system's encoding as a regular file: a FIFO or a device put in its
// place fails at once instead of holding the start (and its stop) in the open. Raises naming the setting.
std::string ReadPemFile(const std::string& fileName, const char* setting) {
    try {
        return ReadRegularFile(fileName, MaxPemFile);
    } catch (const Exception& e) {
        // "<name>: <reason>", said again in the words of the other TLS errors.
        std::string reason = e.what();
        if (reason.rfind(fileName + ": ", 0) == 0)
            reason.erase(0, fileName.size() + 2);
        throw Exception(FormatText("Cannot read '%s' (%s): %s", {fileName, setting, reason}));
    }
}

TBioPtr MemoryBio(const std::string& bytes) {
    return TBioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// The subject of a certificate, one line ("CN=...,O=..."): RFC 2253 order with its escapes, but UTF-8 kept
// as it is; control characters escaped, as the line may end up in the log.
std::string SubjectLine(X509* certificate) {
    TBioPtr out(BIO_new(BIO_s_mem()));
    if (!out)
        return {};
    X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* text = nullptr;
    long length = BIO_get_mem_data(out.get(), &text);
    return EscapeControlCharacters(std::string(text, static_cast<size_t>(std::max(0L, length))));
}

// A certificate time (UTC) in local time; 0 when it cannot be read.
TDateTime LocalTime(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return 0;
    using namespace std::chrono;
    const sys_days day = year{parts.tm_year + 1900} / month{static_cast<unsigned>(parts.tm_mon + 1)} /
                         std::chrono::day{static_cast<unsigned>(parts.tm_mday)};
    return ToDateTime(
        system_clock::time_point(day + hours{parts.tm_hour} + minutes{parts.tm_min} + seconds{parts.tm_sec}));
}

TTlsCertificateInfo InfoOf(X509* certificate) {
    return {SubjectLine(certificate), LocalTime(X509_get0_notBefore(certificate)),
            LocalTime(X509_get0_notAfter(certificate))};
}

// Every certificate of a PEM file, in its order; raises when there is none.
std::vector<TX509Ptr> ReadCertificates(const std::string& fileName, const char* setting) {
    const std::string bytes = ReadPemFile(fileName, setting);
    TBioPtr bio = MemoryBio(bytes);
    std::vector<TX509Ptr> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certificates.emplace_back(certificate);
    ERR_clear_error(); // the end of the file reads as an error
    if (certificates.empty())
        throw Exception(FormatText("'%s' holds no PEM certificate (%s)", {fileName, setting}));
    return certificates;
}

std::unique_ptr<EVP_PKEY, TKeyDeleter> ReadPrivateKey(const std::string& fileName, const char* setting) {
    const std::string bytes = ReadPemFile(fileName, setting);
    TBioPtr bio = MemoryBio(bytes);
    // No pass phrase: a service has nobody to type one.
    auto noPassword = [](char*, int, int, void*) { return 0; };
    std::unique_ptr<EVP_PKEY, TKeyDeleter> key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr));
    ERR_clear_error();
    if (!key)
        throw Exception(FormatText("'%s' holds no unencrypted PEM private key (%s)", {fileName, setting}));
    return key;
}

// The certificate chain and its key into the context; what the first certificate says of itself.
TTlsCertificateInfo UseCertificateAndKey(SSL_CTX* ctx, const std::string& certificateFile,
                                         const char* certificateSetting, const std::string& keyFile,
                                         const char* keySetting) {
    std::vector<TX509Ptr> chain = ReadCertificates(certificateFile, certificateSetting);
    auto key = ReadPrivateKey(keyFile, keySetting);
    TTlsCertificateInfo info = InfoOf(chain.front().get());
    if (SSL_CTX_use_certificate(ctx, chain.front().get()) != 1)
        throw Exception(FormatText("The certificate in '%s' cannot be used (%s): %s",
                                   {certificateFile, certificateSetting, OpenSslReason("unusable")}));
    for (size_t i = 1; i < chain.size(); ++i) {
        // The context takes this reference over.
        if (SSL_CTX_add0_chain_cert(ctx, chain[i].get()) == 1)
            chain[i].release();
    }
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        throw Exception(FormatText("The private key in '%s' does not match the certificate in '%s' (%s)",
                                   {keyFile, certificateFile, keySetting}));
    }
    return info;
}

// The CAs of a PEM file as the ones a peer's certificate must chain to; what each says of itself.
std::vector<TTlsCertificateInfo> TrustCertificates(SSL_CTX* ctx, const std::string& caFile,
                                                   const char* setting, bool listToClients) {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    std::vector<TTlsCertificateInfo> infos;
    for (TX509Ptr& certificate : ReadCertificates(caFile, setting)) {
        infos.push_back(InfoOf(certificate.get()));
        X509_STORE_add_cert(store, certificate.get());
        // The names a client is shown, so that it can pick the certificate that fits.
        if (listToClients)
            SSL_CTX_add_client_CA(ctx, certificate.get());
    }
    ERR_clear_error();
    return infos;
}

SSL_CTX* NewContext(bool server) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr)
        throw Exception("TLS: " + OpenSslReason("cannot make a context"));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // TLS 1.2 only with forward secrecy and an AEAD cipher: no CBC suites with their SHA-1 MACs, no RSA key
    // exchange. TLS 1.3 has its own list, all of that kind already.
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20") != 1) {
        SSL_CTX_free(ctx);
        throw Exception("TLS: " + OpenSslReason("no cipher suite"));
    }
    return ctx;
}

// The channel under a session, as an OpenSSL BIO. Writes are gathered until OpenSSL flushes (the end of a
// handshake flight, an alert) or the session sends data, and before any read: the records of one flight go
// out in one send, so that no small segment waits for the peer's delayed acknowledgement.
struct TChannelBio {
    TTlsChannel* channel = nullptr;
    std::string pending;
    bool Flush() {
        if (pending.empty())
            return true;
        const bool sent = channel->SendBytes(pending.data(), pending.size());
        pending.clear();
        return sent;
    }
};

BIO_METHOD* ChannelMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "doorlock channel");
        BIO_meth_set_write_ex(m, [](BIO* bio, const char* data, size_t size, size_t* written) {
            auto* state = static_cast<TChannelBio*>(BIO_get_data(bio));
            BIO_clear_retry_flags(bio);
            state->pending.append(data, size);
            *written = size;
            return 1;
        });
        BIO_meth_set_read_ex(m, [](BIO* bio, char* data, size_t size, size_t* read) {
            auto* state = static_cast<TChannelBio*>(BIO_get_data(bio));
            BIO_clear_retry_flags(bio);
            if (!state->Flush())
                return 0;
            long received = state->channel->ReceiveBytes(data, size);
            if (received <= 0)
                return 0;
            *read = static_cast<size_t>(received);
            return 1;
        });
        BIO_meth_set_ctrl(m, [](BIO* bio, int command, long, void*) -> long {
            if (command != BIO_CTRL_FLUSH)
                return 0;
            return static_cast<TChannelBio*>(BIO_get_data(bio))->Flush() ? 1 : 0;
        });
        BIO_meth_set_create(m, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

} // namespace

struct TTlsContext::TImpl {
    SSL_CTX* ctx = nullptr;
    bool server = false;
    bool clientCertificates = false;
    TTlsCertificateInfo certificate;
    std::vector<TTlsCertificateInfo> caCertificates;
    ~TImpl() { SSL_CTX_free(ctx); }
};

struct TTlsResumption::TImpl {
    SSL_SESSION* session = nullptr;
    ~TImpl() { SSL_SESSION_free(session); }
};

struct TTlsSession::TImpl {
    SSL* ssl = nullptr;
    TChannelBio bio;
    TTlsResumption* resumption = nullptr;
    bool failed = false;
    ~TImpl() {
        // Freed without a TLS close, the session would be marked as not to be resumed. An exchange that
        // failed nowhere is complete (its answer ends at the NUL), whether or not the close was sent.
        if (!failed && SSL_is_init_finished(ssl))
            SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        SSL_free(ssl);
    }

    // The failure's reason: the verification's where it failed, else OpenSSL's, else what the channel did.
    std::string Reason(int result) {
        failed = true;
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            ERR_clear_error();
            return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
        }
        const int error = SSL_get_error(ssl, result);
        if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
            return "the connection closed or timed out";
        if (error == SSL_ERROR_ZERO_RETURN)
            return "the peer closed the connection";
        return OpenSslReason("the handshake failed");
    }

    void KeepSession() {
        if (resumption == nullptr)
            return;
        SSL_SESSION* session = SSL_get1_session(ssl);
        if (session == nullptr)
            return;
        if (SSL_SESSION_is_resumable(session) != 1) {
            SSL_SESSION_free(session);
            return;
        }
        SSL_SESSION_free(resumption->Impl().session);
        resumption->Impl().session = session;
    }
};

bool TlsAvailable() {
    return true;
}

TTlsContext::TTlsContext(std::unique_ptr<TImpl> impl) : m_impl(std::move(impl)) {}
TTlsContext::~TTlsContext() = default;

bool TTlsContext::RequiresClientCertificate() const {
    return m_impl->clientCertificates;
}

const TTlsCertificateInfo& TTlsContext::Certificate() const {
    return m_impl->certificate;
}

const std::vector<TTlsCertificateInfo>& TTlsContext::CACertificates() const {
    return m_impl->caCertificates;
}

std::shared_ptr<TTlsContext> TTlsContext::ForServer(const std::string& certificateFile,
                                                    const std::string& privateKeyFile,
                                                    const std::string& clientCAFile) {
    auto impl = std::make_unique<TImpl>();
    impl->server = true;
    impl->ctx = NewContext(true);
    SSL_CTX* ctx = impl->ctx;
    impl->certificate =
        UseCertificateAndKey(ctx, certificateFile, "TlsCertificate", privateKeyFile, "TlsPrivateKey");
    if (!clientCAFile.empty()) {
        impl->caCertificates = TrustCertificates(ctx, clientCAFile, "TlsClientCA", true);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        impl->clientCertificates = true;
    }
    // Every request is a connection of its own: resumption spares the full handshake of the next. Tickets
    // (TLS 1.2 and 1.3) carry the session, so the host keeps no cache, whose locks and upkeep cost more per
    // connection than the ticket; one ticket is enough for one next connection.
    SSL_CTX_set_session_id_context(ctx, SessionIdContext, sizeof SessionIdContext - 1);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
    return std::make_shared<TTlsContext>(std::move(impl));
}

std::shared_ptr<TTlsContext> TTlsContext::ForClient(const std::string& caFile,
                                                    const std::string& certificateFile,
                                                    const std::string& privateKeyFile) {
    if (certificateFile.empty() != privateKeyFile.empty())
        throw Exception("A client certificate needs its private key, and a key its certificate");
    auto impl = std::make_unique<TImpl>();
    impl->ctx = NewContext(false);
    SSL_CTX* ctx = impl->ctx;
    impl->caCertificates = TrustCertificates(ctx, caFile, "--tls-ca", false);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (!certificateFile.empty())
        impl->certificate =
            UseCertificateAndKey(ctx, certificateFile, "--tls-cert", privateKeyFile, "--tls-key");
    // The request's NUL ends the answer; a host that closes without the TLS close is no error of it.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
    return std::make_shared<TTlsContext>(std::move(impl));
}

TTlsResumption::TTlsResumption() : m_impl(std::make_unique<TImpl>()) {}
TTlsResumption::~TTlsResumption() = default;

TTlsSession::TTlsSession(const TTlsContext& context, TTlsChannel& channel)
    : m_impl(std::make_unique<TImpl>()) {
    ERR_clear_error();
    m_impl->ssl = SSL_new(context.Impl().ctx);
    BIO* bio = BIO_new(ChannelMethod());
    if (m_impl->ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        throw Exception("TLS: " + OpenSslReason("out of memory"));
    }
    m_impl->bio.channel = &channel;
    BIO_set_data(bio, &m_impl->bio);
    SSL_set_bio(m_impl->ssl, bio, bio); // owned by the session from here
}

TTlsSession::~TTlsSession() = default;

bool TTlsSession::Accept() {
    ERR_clear_error();
    int result = SSL_accept(m_impl->ssl);
    // The last flight (a TLS 1.3 session ticket) goes out now, not with the answer.
    if (result == 1 && m_impl->bio.Flush())
        return true;
    m_error = m_impl->Reason(result);
    return false;
}

bool TTlsSession::Connect(const std::string& peerName, TTlsResumption* resumption) {
    SSL* ssl = m_impl->ssl;
    ERR_clear_error();
    TIpv4 address = 0;
    if (ParseIpv4(peerName, address)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), peerName.c_str());
    } else {
        SSL_set1_host(ssl, peerName.c_str());
        SSL_set_tlsext_host_name(ssl, peerName.c_str());
    }
    m_impl->resumption = resumption;
    if (resumption != nullptr && resumption->Impl().session != nullptr)
        SSL_set_session(ssl, resumption->Impl().session);
    int result = SSL_connect(ssl);
    if (result == 1 && m_impl->bio.Flush()) {
        m_impl->KeepSession();
        return true;
    }
    m_error = m_impl->Reason(result);
    return false;
}

long TTlsSession::Receive(char* data, size_t size) {
    ERR_clear_error();
    size_t read = 0;
    int result = SSL_read_ex(m_impl->ssl, data, size, &read);
    // A session ticket comes with the first read.
    m_impl->KeepSession();
    if (result == 1)
        return static_cast<long>(std::min<size_t>(read, std::numeric_limits<long>::max()));
    const int error = SSL_get_error(m_impl->ssl, result);
    // Either a TLS close or the channel's end without one: the peer is done.
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SSL && ERR_peek_error() == 0)) {
        ERR_clear_error();
        return 0;
    }
    m_error = m_impl->Reason(result);
    return -1;
}

bool TTlsSession::Send(const char* data, size_t size) {
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(m_impl->ssl, data, size, &written) == 1 && written == size && m_impl->bio.Flush())
        return true;
    m_error = m_impl->Reason(0);
    return false;
}

void TTlsSession::Shutdown() {
    ERR_clear_error();
    SSL_shutdown(m_impl->ssl);
    m_impl->bio.Flush();
    ERR_clear_error();
}

std::string TTlsSession::PeerSubject() const {
    X509* certificate = SSL_get0_peer_certificate(m_impl->ssl);
    return certificate != nullptr ? SubjectLine(certificate) : std::string();
}

bool TTlsSession::Resumed() const {
    return SSL_session_reused(m_impl->ssl) == 1;
}

void* TlsNativeContext(const TTlsContext& context) {
    return context.Impl().ctx;
}

std::string TlsPeerSubject(void* ssl) {
    X509* certificate = SSL_get0_peer_certificate(static_cast<SSL*>(ssl));
    return certificate != nullptr ? SubjectLine(certificate) : std::string();
}

std::string TlsAcceptFailure(void* ssl, unsigned long sslError) {
    const long verify = SSL_get_verify_result(static_cast<SSL*>(ssl));
    if (verify != X509_V_OK)
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    if (sslError == 0)
        return "the connection closed or timed out";
    if (const char* reason = ERR_reason_error_string(sslError))
        return reason;
    char text[256];
    ERR_error_string_n(sslError, text, sizeof text);
    return text;
}
