#pragma once

#include "platform/TlsUnit.h"
#include "server/InfoListUnit.h"

#include <memory>
#include <string>
#include <vector>

class TSysOption;

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

// The listeners' TLS as the start sets it up: the host's context, which the listener takes (SetTls) and from
// which the start's certificate lines come later on; empty without TLS.
struct TTlsLayer {
    std::shared_ptr<const TTlsContext> Context;
};

// The TLS that the TLS keys of SysOption ask for: empty when TlsCertificate is empty. Relative file
// names are taken from the directory of Option.ini (the program's). Raises Exception with the line that
// stops the start when a file cannot be used, a key is missing or does not match, TlsClientCA is set without
// TlsCertificate, or the build has no TLS. The start line, the certificate warnings at now and, without
// TlsClientCA, its warning go to the log and to infoList.
TTlsLayer TlsLayerFor(const TSysOption& option, TInfoList& infoList, TDateTime now);
