#include "server/MonitorUnit.h"

#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

using namespace std::chrono_literals;

namespace {

std::string Get(int port, const std::string& path) {
    return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: m\r\n\r\n", nullptr, 20s);
}

} // namespace

// A page that takes its time holds neither the I/O thread nor the other clients; past the cap of connections
// a newcomer is closed unread, until one of them has gone.
TEST(MonitorTest, SlowPagesAndIdleClientsHoldNoOneElseUp) {
    std::atomic<bool> release{false};
    std::atomic<int> slowStarted{0};
    TMonitorServer monitor;
    monitor.SetMaxConnections(3);
    monitor.SetTimeout(60s);
    monitor.SetPages([&](const std::string& path) -> std::optional<THttpResponse> {
        if (path == "/slow") {
            ++slowStarted;
            WaitFor([&] { return release.load(); }, 60s);
        }
        if (path == "/missing")
            return std::nullopt;
        return THttpResponse{200, "text/plain; charset=utf-8", "page " + path + "\n"};
    });
    monitor.Start(0x7F000001, 0);
    const int port = monitor.BoundPort();
    ASSERT_NE(port, 0);

    TLoopbackClient slow(20s);
    ASSERT_TRUE(slow.Connect(port));
    ASSERT_TRUE(slow.Send("GET /slow HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitFor([&] { return slowStarted == 1; }));
    const std::string fast = Get(port, "/fast");
    EXPECT_EQ(fast.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << fast;
    EXPECT_NE(fast.find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(fast.substr(fast.size() - 11), "page /fast\n");
    EXPECT_EQ(Get(port, "/missing").rfind("HTTP/1.1 404", 0), 0u);

    // The slow one and two idle ones fill the cap: a fourth is closed without a byte. (The monitor accepts on
    // one thread, in order, so the idle ones count before it.)
    TLoopbackClient idle1 = Connected(port);
    TLoopbackClient idle2 = Connected(port);
    ASSERT_TRUE(idle1.Send("G"));
    ASSERT_TRUE(idle2.Send("G"));
    bool closed = false;
    EXPECT_EQ(Exchange(port, "GET /fast HTTP/1.1\r\n\r\n", &closed, 20s), "");
    EXPECT_TRUE(closed);

    // The slow page answers at last, and its place is free again.
    release = true;
    std::string got;
    EXPECT_EQ(slow.ReadToClose(&got), TReadEnd::Closed);
    EXPECT_NE(got.find("page /slow"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return Get(port, "/fast").rfind("HTTP/1.1 200", 0) == 0; }));
    monitor.Stop();
    EXPECT_EQ(monitor.BoundPort(), 0);
}

// A client that never finishes its request is closed at the time-out, unanswered.
TEST(MonitorTest, UnfinishedRequestIsClosedAtTheTimeOut) {
    TMonitorServer monitor;
    monitor.SetTimeout(300ms);
    monitor.SetPages([](const std::string&) { return std::optional<THttpResponse>(THttpResponse{}); });
    monitor.Start(0x7F000001, 0);
    TLoopbackClient client(20s);
    ASSERT_TRUE(client.Connect(monitor.BoundPort()));
    ASSERT_TRUE(client.Send("GET /livez HTTP/1.1\r\nHost: m\r\n"));
    std::string got;
    EXPECT_EQ(client.ReadToClose(&got), TReadEnd::Closed);
    EXPECT_EQ(got, "");
}

TEST(MonitorTest, AnswerTextsAndEndpoints) {
    EXPECT_EQ(HttpResponseText({200, "text/plain; charset=utf-8", "ok\n"}),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 3\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\nok\n");
    // HEAD: the length of the body it would have had, and no body.
    const std::string head = HttpResponseText({503, "text/plain", "not live\n"}, true);
    EXPECT_EQ(head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
    EXPECT_NE(head.find("Content-Length: 9\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_NE(HttpResponseText({405, "text/plain", ""}).find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
}
