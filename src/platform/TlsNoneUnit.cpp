#include "platform/TlsUnit.h"

#include "platform/SysUtilsUnit.h"

// A build without OpenSSL: plain TCP only, and a TLS setting stops the start.

namespace {
[[noreturn]] void NoTls() {
    throw Exception("This build has no TLS (it was built without OpenSSL); remove TlsCertificate");
}
} // namespace

struct TTlsContext::TImpl {};
struct TTlsResumption::TImpl {};
struct TTlsSession::TImpl {};

bool TlsAvailable() {
    return false;
}

TTlsContext::TTlsContext(std::unique_ptr<TImpl> impl) : m_impl(std::move(impl)) {}
TTlsContext::~TTlsContext() = default;
bool TTlsContext::RequiresClientCertificate() const {
    return false;
}
const TTlsCertificateInfo& TTlsContext::Certificate() const {
    static const TTlsCertificateInfo none;
    return none;
}
const std::vector<TTlsCertificateInfo>& TTlsContext::CACertificates() const {
    static const std::vector<TTlsCertificateInfo> none;
    return none;
}
std::shared_ptr<TTlsContext> TTlsContext::ForServer(const std::string&, const std::string&,
                                                    const std::string&) {
    NoTls();
}
std::shared_ptr<TTlsContext> TTlsContext::ForClient(const std::string&, const std::string&,
                                                    const std::string&) {
    NoTls();
}

TTlsResumption::TTlsResumption() : m_impl(std::make_unique<TImpl>()) {}
TTlsResumption::~TTlsResumption() = default;

TTlsSession::TTlsSession(const TTlsContext&, TTlsChannel&) {
    NoTls();
}
TTlsSession::~TTlsSession() = default;
bool TTlsSession::Accept() {
    return false;
}
bool TTlsSession::Connect(const std::string&, TTlsResumption*) {
    return false;
}
long TTlsSession::Receive(char*, size_t) {
    return -1;
}
bool TTlsSession::Send(const char*, size_t) {
    return false;
}
void TTlsSession::Shutdown() {}
std::string TTlsSession::PeerSubject() const {
    return {};
}
bool TTlsSession::Resumed() const {
    return false;
}
