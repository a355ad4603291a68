#pragma once

#include "platform/TlsUnit.h"
#include "server/InfoListUnit.h"
#include "server/TcpServerUnit.h"
#include "server/WireUnit.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TSysOption;

// A request connection over TLS: the handshake on the plain connection first, then the request cycle through
// the session. Its bytes go through the plain connection, so that connection's limits (the request's
// deadline, a stop) bound the handshake as well.
class TTlsServerConnection final : public TServerConnection {
public:
    TTlsServerConnection(TServerConnection& plain, const TTlsContext& context);

    // The handshake; false with Error() set when the client is not accepted.
    bool Accept();
    // Tells the client that the answer is complete.
    void Close();
    const std::string& Error() const { return m_session.Error(); }

    long ReceiveBytes(char* data, size_t size) override;
    bool SendBytes(const char* data, size_t size) override;
    std::string ClientSubject() const override;
    // The plain connection's address and port, with the client certificate's subject.
    TRequestOrigin Origin() const override;

private:
    class TChannel final : public TTlsChannel {
    public:
        explicit TChannel(TServerConnection& plain) : m_plain(plain) {}
        long ReceiveBytes(char* data, size_t size) override { return m_plain.ReceiveBytes(data, size); }
        bool SendBytes(const char* data, size_t size) override {
            return m_answering ? m_plain.SendBytes(data, size) : m_plain.SendSetupBytes(data, size);
        }
        // Set while the answer is being sent: only its records are the answer.
        bool m_answering = false;

    private:
        TServerConnection& m_plain;
    };

    TServerConnection& m_plain;
    TChannel m_channel;
    TTlsSession m_session;
};

// A line of a client that was refused in the handshake (GBK).
std::string TlsRefusedLine(TIpv4 peer, const std::string& reason);
// The start's warning when TLS is on without client certificates (GBK).
std::string TlsWithoutClientCALine();

// The start's line while TLS is on (GBK): the host certificate's subject and the day it expires, and whether
// a client must show a certificate of TlsClientCA.
std::string TlsStartLine(const TTlsContext& context);

// How long before a certificate expires the host starts to warn.
constexpr int CertificateWarningDays = 30;
// The warnings (GBK) on the host's certificate and the CAs of TlsClientCA at now: one line for each that has
// expired, is not valid yet, or expires within CertificateWarningDays. A certificate past its time stops
// every client silently, so the start says it and the host repeats it daily.
std::vector<std::string> TlsCertificateWarnings(const TTlsContext& context, TDateTime now);

// The listeners' TLS: every connection's handshake before its request; a client refused there is closed
// before a request byte is read and logged at most once a minute per address.
class TTlsListener {
public:
    explicit TTlsListener(std::shared_ptr<const TTlsContext> context) : m_context(std::move(context)) {}
    void Serve(TServerConnection& plain, TIpv4 peer, const TTcpServer::TExecute& execute);

private:
    std::shared_ptr<const TTlsContext> m_context;
    std::mutex m_mutex;
    TLogThrottle m_refusedLog{std::chrono::minutes(1)};
};

// The listeners' TLS as the start sets it up: the layer, and the host's context for what is said of its
// certificates later on. Both empty without TLS.
struct TTlsLayer {
    TTcpServer::TConnectionLayer Layer;
    std::shared_ptr<const TTlsContext> Context;
};

// The TLS layer that the TLS keys of SysOption ask for: empty when TlsCertificate is empty. Relative file
// names are taken from the directory of Option.ini (the program's). Raises Exception with the line that
// stops the start when a file cannot be used, a key is missing or does not match, TlsClientCA is set without
// TlsCertificate, or the build has no TLS. The start line, the certificate warnings at now and, without
// TlsClientCA, its warning go to the log and to infoList.
TTlsLayer TlsLayerFor(const TSysOption& option, TInfoList& infoList, TDateTime now);
