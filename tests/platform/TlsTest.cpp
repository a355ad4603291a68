#include "platform/TlsUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TEscapeCase {
    std::string text, shown;
};

TEST(TlsTest, SubjectsStayOneVisibleLine) {
    const TEscapeCase cases[] = {
        {"CN=hotel-system,O=Hotel", "CN=hotel-system,O=Hotel"},
        // A forged log line, a terminal escape and DEL.
        {"CN=a\r\n2026-01-01 00:00:00 x", "CN=a\\x0d\\x0a2026-01-01 00:00:00 x"},
        {"CN=\x1b[31mred\x7f", "CN=\\x1b[31mred\\x7f"},
        // C1 controls in UTF-8; other two-byte characters and CJK pass.
        {"CN=\xC2\x9B"
         "1m \xC2\xA9 \xE5\xBC\xA0",
         "CN=\\x9b1m \xC2\xA9 \xE5\xBC\xA0"},
        // A lead byte at the end is left alone.
        {"CN=\xC2", "CN=\xC2"},
    };
    for (const TEscapeCase& c : cases)
        EXPECT_EQ(EscapeControlCharacters(c.text), c.shown) << c.text;
}

struct TContextCase {
    const char* name;
    std::string certificate, key, ca; // "" none; "missing" a file that is not there; "text" a file of text
    bool server;
    std::string error;
};

TEST(TlsTest, ContextsNameTheFileAndTheSettingThatCannotBeUsed) {
    if (!TlsAvailable())
        GTEST_SKIP() << "built without OpenSSL";
    TSandbox sandbox;
    const std::string text = sandbox.File("text.pem");
    WriteFileBytes(text, "-----BEGIN NOTHING-----\nnothing\n-----END NOTHING-----\n");
    const std::string missing = sandbox.File("missing.pem");
    auto name = [&](const std::string& which) {
        return which == "missing" ? missing : which == "text" ? text : "";
    };
    const TContextCase cases[] = {
        {"missing certificate", "missing", "text", "", true, "'" + missing + "' (TlsCertificate): "},
        {"certificate not PEM", "text", "text", "", true,
         "'" + text + "' holds no PEM certificate (TlsCertificate)"},
        {"client CA not PEM", "", "", "text", false, "'" + text + "' holds no PEM certificate (--tls-ca)"},
        {"client certificate without key", "text", "", "text", false,
         "A client certificate needs its private key, and a key its certificate"},
    };
    for (const TContextCase& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            if (c.server)
                TTlsContext::ForServer(name(c.certificate), name(c.key), name(c.ca));
            else
                TTlsContext::ForClient(name(c.ca), name(c.certificate), name(c.key));
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

} // namespace
