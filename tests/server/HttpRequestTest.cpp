#include "server/HttpRequestUnit.h"

#include <gtest/gtest.h>

#include <string>

using TState = THttpRequest::TState;

TEST(HttpRequestTest, HeadsOnRawBytes) {
    struct TCase {
        const char* name;
        std::string bytes;
        TState state;
        const char* method = "";
        const char* target = "";
    };
    const std::string bigHeader =
        "GET /metrics HTTP/1.1\r\nX: " + std::string(MaxHttpRequestHead, 'a') + "\r\n\r\n";
    const std::string endless = "GET /metrics HTTP/1.1\r\nX: " + std::string(MaxHttpRequestHead, 'a');
    const std::string justFits = [] {
        std::string head = "GET / HTTP/1.1\r\nX: ";
        head += std::string(MaxHttpRequestHead - head.size() - 4, 'a');
        return head + "\r\n\r\n";
    }();
    const TCase cases[] = {
        {"prometheus", "GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: text/plain\r\n\r\n", TState::Complete,
         "GET", "/metrics"},
        {"query dropped", "GET /readyz?verbose=1 HTTP/1.1\r\n\r\n", TState::Complete, "GET", "/readyz"},
        {"HTTP/1.0, bare LFs", "HEAD /livez HTTP/1.0\n\n", TState::Complete, "HEAD", "/livez"},
        {"other method still parses", "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         TState::Complete, "POST", "/metrics"},
        {"head not ended", "GET /metrics HTTP/1.1\r\nHost: a\r\n", TState::NeedMore},
        {"request line in parts", "GET /met", TState::NeedMore},
        {"nothing yet", "", TState::NeedMore},
        {"card request", "<DoorRequest type=\"ReadCard\"/>\n", TState::Bad},
        {"binary before a line end", std::string("\x16\x03\x01\x02\x00", 5), TState::Bad},
        {"no version", "GET /metrics\r\n\r\n", TState::Bad},
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\n", TState::Bad},
        {"absolute target", "GET http://x/metrics HTTP/1.1\r\n\r\n", TState::Bad},
        {"space in target", "GET /a b HTTP/1.1\r\n\r\n", TState::Bad},
        {"control byte in target", std::string("GET /a\x01 HTTP/1.1\r\n\r\n"), TState::Bad},
        {"empty method", " /metrics HTTP/1.1\r\n\r\n", TState::Bad},
        {"header without colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", TState::Bad},
        {"folded header", "GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", TState::Bad},
        {"header name with space", "GET / HTTP/1.1\r\nHo st: a\r\n\r\n", TState::Bad},
        {"header over the bound", bigHeader, TState::TooLarge},
        {"no end within the bound", endless, TState::TooLarge},
        {"head of exactly the bound", justFits, TState::Complete, "GET", "/"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const THttpRequest request = ParseHttpRequest(c.bytes);
        EXPECT_EQ(request.State, c.state);
        if (c.state == TState::Complete) {
            EXPECT_EQ(request.Method, c.method);
            EXPECT_EQ(request.Target, c.target);
        }
    }
    EXPECT_EQ(justFits.size(), MaxHttpRequestHead);
    // One byte more than the bound is too large.
    EXPECT_EQ(ParseHttpRequest("GET / HTTP/1.1\r\nX: " + std::string(MaxHttpRequestHead - 19 - 4 + 1, 'a') +
                               "\r\n\r\n")
                  .State,
              TState::TooLarge);
}
