#include "platform/TlsUnit.h"

#include <cstdio>

std::string EscapeControlCharacters(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned char byte) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02x", byte);
        out += code;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080-U+009F: terminals act on these too.
            escape(static_cast<unsigned char>(text[++i]));
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

TCertificateTime CertificateTimeAt(const TTlsCertificateInfo& certificate, TDateTime now, int warningDays) {
    // A certificate is valid up to and including its last second.
    if (now > certificate.NotAfter)
        return TCertificateTime::Expired;
    if (now < certificate.NotBefore)
        return TCertificateTime::NotYetValid;
    return certificate.NotAfter - now <= warningDays ? TCertificateTime::ExpiresSoon
                                                     : TCertificateTime::Valid;
}
