#include "platform/SocketUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/TcpServerUnit.h"
#include "server/TlsServerUnit.h"
#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A server that closes with request bytes left unread resets the connection, which counts as closed as well.
struct TReply {
    std::string bytes;
    bool closed = false; // false when the wait ran out
};

TReply ReadToClose(TLoopbackClient& client) {
    TReply reply;
    const TReadEnd end = client.ReadToClose(&reply.bytes);
    reply.closed = end == TReadEnd::Closed || end == TReadEnd::Reset;
    return reply;
}

// Lets handlers that wait for the test go on.
class TGate {
public:
    void Open() { m_open = true; }
    bool IsOpen() const { return m_open; }

private:
    std::atomic<bool> m_open{false};
};

class TTcpServerTest : public ::testing::Test {
protected:
    void StartEcho() {
        server.SetRequestHandler([this](const std::string& request, const TRequestOrigin&) {
            ++handled;
            return std::optional<std::string>(request);
        });
        Start();
    }
    // An echo whose "hold" request waits in its worker until the gate opens.
    void StartHoldingEcho() {
        server.SetRequestHandler([this](const std::string& request, const TRequestOrigin&) {
            ++handled;
            if (request == "hold")
                WaitFor([this] { return gate.IsOpen(); }, 60s);
            return std::optional<std::string>(request);
        });
        Start();
    }
    void Start() {
        server.SetDefaultPort(0);
        server.SetActive(true);
        port = server.BoundPort();
        ASSERT_NE(port, 0);
    }
    // Handlers waiting for the test are let go before the server waits for them.
    void TearDown() override { gate.Open(); }

    // Everything the handlers touch lives here, before the server, so that it outlives their threads.
    TGate gate;
    std::atomic<int> handled{0};
    std::atomic<int> arrived{0};
    int port = 0;
    TTcpServer server;
};

struct TFramingCase {
    const char* name;
    std::string request;
    bool byteByByte;
    std::string response; // empty: none, the connection is only closed
    bool late = false;    // sent only after the time-out that accepting sockets wait with
};

TEST_F(TTcpServerTest, FramesOneRequestAndOneResponsePerConnection) {
    StartEcho();
    const std::string longest(MaxRequestLength, 'a');
    const TFramingCase cases[] = {
        {"plain", Framed("<a/>"), false, Framed("<a/>")},
        {"CR LF kept", Framed("<a>\r\n</a>"), false, Framed("<a>\r\n</a>")},
        {"empty request", Framed(""), false, Framed("")},
        {"one byte at a time", Framed("<a>x</a>"), true, Framed("<a>x</a>")},
        {"second request discarded", Framed("one") + Framed("two"), false, Framed("one")},
        {"longest request", Framed(longest), false, Framed(longest)},
        {"one byte too long", Framed(longest + "a"), false, ""},
        {"sent after a long pause", Framed("<a/>"), false, Framed("<a/>"), true},
    };
    int expectedHandled = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TLoopbackClient client = Connected(port);
        if (c.late)
            std::this_thread::sleep_for(1500ms);
        if (c.byteByByte) {
            for (char byte : c.request)
                ASSERT_TRUE(client.Send(std::string_view(&byte, 1)));
        } else {
            ASSERT_TRUE(client.Send(c.request));
        }
        TReply reply = ReadToClose(client);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, c.response);
        // A request that is too long never reaches the handler.
        expectedHandled += c.response.empty() ? 0 : 1;
        EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
        EXPECT_EQ(handled, expectedHandled);
    }
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
}

TEST_F(TTcpServerTest, HandlerRunsInFullWhenTheClientLeavesAfterTheNul) {
    server.SetRequestHandler([this](const std::string&, const TRequestOrigin&) {
        ++arrived;
        WaitFor([this] { return gate.IsOpen(); });
        ++handled;
        // A long answer to a vanished peer: the send fails, and never kills the process.
        return std::optional<std::string>(std::string(4 << 20, 'x'));
    });
    Start();
    {
        TLoopbackClient client = Connected(port);
        ASSERT_TRUE(client.Send(Framed("<a/>")));
        ASSERT_TRUE(WaitFor([&] { return arrived == 1; }));
    }
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return handled == 1; }));
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
    EXPECT_EQ(Exchange(port, Framed("next")).size(), (4u << 20) + 1);
}

// A worker sends what the socket takes at once and leaves the rest to the I/O thread.
TEST_F(TTcpServerTest, AnAnswerLargerThanTheSocketTakesGoesOutWhole) {
    server.SetMaxWorkers(1);
    server.SetRequestHandler([this](const std::string& request, const TRequestOrigin&) {
        ++handled;
        return std::optional<std::string>(request == "big" ? std::string(64 << 20, 'x') : request);
    });
    Start();
    TLoopbackClient big = Connected(port);
    ASSERT_TRUE(big.Send(Framed("big")));
    ASSERT_TRUE(WaitFor([&] { return handled == 1; }));
    // The only worker serves this one once it has handed the big answer's rest on: nothing reads that yet.
    EXPECT_EQ(Exchange(port, Framed("small")), Framed("small"));
    std::string reply;
    EXPECT_EQ(big.ReadToClose(&reply), TReadEnd::Closed);
    EXPECT_EQ(reply.size(), (64u << 20) + 1);
}

TEST_F(TTcpServerTest, ClientLeavingBeforeTheNulFailsTheRead) {
    StartEcho();
    {
        TLoopbackClient client = Connected(port);
        ASSERT_TRUE(client.Send("<a/>"));
    }
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
    EXPECT_EQ(handled, 0);
}

TEST_F(TTcpServerTest, ServesConnectionsInParallel) {
    server.SetRequestHandler([this](const std::string& request, const TRequestOrigin&) {
        ++arrived;
        // Answers only once the other connection is being served as well.
        return WaitFor([this] { return arrived == 2; }) ? std::optional<std::string>(request) : std::nullopt;
    });
    Start();
    TLoopbackClient first = Connected(port);
    TLoopbackClient second = Connected(port);
    ASSERT_TRUE(first.Send(Framed("1")));
    ASSERT_TRUE(second.Send(Framed("2")));
    EXPECT_EQ(ReadToClose(first).bytes, Framed("1"));
    EXPECT_EQ(ReadToClose(second).bytes, Framed("2"));
}

TEST_F(TTcpServerTest, CapCountsOnlyRequestsWaitingForOrInAWorker) {
    // A client that connects again as soon as it has its answer must never find its own last connection
    // counted against a cap of one; while a request is in a worker, a new one is closed unanswered.
    server.SetMaxConnections(1);
    StartHoldingEcho();
    int unanswered = 0;
    for (int i = 0; i < 1000; ++i) {
        if (Exchange(port, Framed("r")) != Framed("r"))
            ++unanswered;
    }
    EXPECT_EQ(unanswered, 0);
    TLoopbackClient held = Connected(port);
    ASSERT_TRUE(held.Send(Framed("hold")));
    ASSERT_TRUE(WaitFor([&] { return handled == 1001; }));
    bool closed = false;
    EXPECT_EQ(Exchange(Connected(port), Framed("over"), &closed), "");
    EXPECT_TRUE(closed);
    // An idle connection, still being read, does not count.
    TLoopbackClient idle = Connected(port);
    ASSERT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 2u; }));
    gate.Open();
    EXPECT_EQ(ReadToClose(held).bytes, Framed("hold"));
    EXPECT_TRUE(idle.Send(Framed("late")));
    EXPECT_EQ(ReadToClose(idle).bytes, Framed("late"));
}

// One address may hold only so many connections that wait for their answer; others still get in.
TEST_F(TTcpServerTest, PerClientCapClosesOnlyThatAddresssNewConnections) {
    server.SetMaxConnectionsPerClient(2);
    StartEcho();
    std::vector<TLoopbackClient> idle;
    for (int i = 0; i < 2; ++i)
        idle.push_back(Connected(port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 2; }));
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool closed = false;
        EXPECT_EQ(Exchange(Connected(port, "127.0.0.1", "127.0.0.2"), Framed("x"), &closed), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(Exchange(Connected(port, "127.0.0.1", "127.0.0.1"), Framed("y")), Framed("y"));
    EXPECT_EQ(handled, 1); // the refused ones were never handed to the cycle
    for (const TLoopbackClient& client : idle)
        EXPECT_FALSE(client.HasInput());

    // A slot comes back when one of them goes.
    idle.pop_back();
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 1; }));
    EXPECT_EQ(Exchange(Connected(port, "127.0.0.1", "127.0.0.2"), Framed("z")), Framed("z"));
}

// The deadline covers all of a request's bytes: a silent peer and one that sends a byte now and then are
// both closed; a request that comes at once is served as before.
TEST_F(TTcpServerTest, RequestTimeoutClosesSilentAndDrippingPeers) {
    server.SetRequestTimeout(300ms);
    StartEcho();
    EXPECT_EQ(Exchange(port, Framed("<a/>")), Framed("<a/>"));

    TLoopbackClient silent = Connected(port);
    TReply reply = ReadToClose(silent);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");

    TLoopbackClient dripping = Connected(port);
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    // Each byte comes well within the deadline; only their sum runs out of it, so the close comes while the
    // peer still sends.
    bool closedWhileSending = false;
    while (!closedWhileSending && std::chrono::steady_clock::now() < giveUp) {
        closedWhileSending = dripping.HasInput() || !dripping.Send("a");
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(closedWhileSending);
    EXPECT_TRUE(ReadToClose(dripping).closed);
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
    EXPECT_EQ(handled, 1);
}

TEST_F(TTcpServerTest, RequestCycleClosesWithoutAnAnswerWhenTheHandlerGivesNoneOrFails) {
    server.SetRequestHandler(
        [](const std::string& request, const TRequestOrigin&) -> std::optional<std::string> {
            if (request == "std")
                throw std::runtime_error("bad request");
            if (request == "other")
                throw 42;
            if (request == "none")
                return std::nullopt;
            return request;
        });
    Start();
    for (const char* request : {"std", "other", "none"}) {
        SCOPED_TRACE(request);
        TLoopbackClient client = Connected(port);
        ASSERT_TRUE(client.Send(Framed(request)));
        TReply reply = ReadToClose(client);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
    // A failed connection leaves the others served.
    TLoopbackClient client = Connected(port);
    ASSERT_TRUE(client.Send(Framed("ok")));
    EXPECT_EQ(ReadToClose(client).bytes, Framed("ok"));
}

// What the monitor is told: answers by the type the handler read and the answer's result code, requests
// closed unanswered and connections refused by their reason. A type that was not answered names no label.
TEST_F(TTcpServerTest, StatsCountAnswersAndClosesByReason) {
    auto stats = std::make_shared<TServerStats>("doorlock");
    server.SetStats(stats);
    server.SetAllowedClients({TIpv4Range{0x7F000001, 0xFFFFFFFF}});
    server.SetRequestHandler(
        [](const std::string& request, const TRequestOrigin& origin) -> std::optional<std::string> {
            if (origin.Report != nullptr)
                origin.Report->Type = request.substr(0, request.find(' '));
            if (request.rfind("Bogus", 0) == 0)
                return std::nullopt;
            if (request.rfind("Fails", 0) == 0)
                throw Exception("bad value");
            return "<R><ResultCode>" + request.substr(request.find(' ') + 1) + "</ResultCode></R>";
        });
    Start();
    for (const char* request : {"IssueCard 200", "IssueCard 200", "ReadCard 500", "Bogus 1", "Fails 1"})
        Exchange(port, Framed(request));
    Exchange(port, std::string(MaxRequestLength + 1, 'a'));
    bool closed = false;
    EXPECT_EQ(Exchange(Connected(port, "127.0.0.1", "127.0.0.2"), Framed("IssueCard 200"), &closed), "");
    EXPECT_TRUE(closed);
    ASSERT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));

    const TCounterFamily& requests = stats->Requests();
    EXPECT_EQ(requests.Value({"doorlock", "IssueCard", "200"}), 2u);
    EXPECT_EQ(requests.Value({"doorlock", "ReadCard", "500"}), 1u);
    EXPECT_EQ(requests.Value({"doorlock", "Bogus", ""}), 0u);
    const TCounterFamily& unanswered = stats->UnansweredRequests();
    EXPECT_EQ(unanswered.Value({"doorlock", "unknown_type"}), 1u);
    EXPECT_EQ(unanswered.Value({"doorlock", "bad_value"}), 1u);
    EXPECT_EQ(unanswered.Value({"doorlock", "too_long"}), 1u);
    EXPECT_EQ(stats->RefusedConnections().Value({"allow_list"}), 1u);
    TMetricsText text;
    stats->Write(text);
    EXPECT_EQ(text.Text().find("Bogus"), std::string::npos);
    EXPECT_NE(text.Text().find("\ndoorlock_answer_seconds_count 3\n"), std::string::npos);
}

// Live while stopped is false; running, it is false once a request has waited for a worker past the bound
// with none taken, and true again when the worker is free.
TEST_F(TTcpServerTest, LiveFollowsTheIoThreadsAndTheWorkers) {
    EXPECT_FALSE(server.Live(10s, 10s));
    server.SetMaxWorkers(1);
    StartHoldingEcho();
    EXPECT_TRUE(WaitFor([&] { return server.Live(10s, 10s); }));
    TLoopbackClient held = Connected(port);
    ASSERT_TRUE(held.Send(Framed("hold")));
    ASSERT_TRUE(WaitFor([&] { return handled == 1; }));
    TLoopbackClient queued = Connected(port);
    ASSERT_TRUE(queued.Send(Framed("queued")));
    EXPECT_TRUE(WaitFor([&] { return !server.Live(10s, 1ms); }));
    EXPECT_TRUE(server.Live(10s, 60s));
    gate.Open();
    EXPECT_EQ(ReadToClose(queued).bytes, Framed("queued"));
    EXPECT_TRUE(WaitFor([&] { return server.Live(10s, 1ms); }));
}

TEST_F(TTcpServerTest, StartFailsOnAPortHeldByAnotherListener) {
    TSocket holder = ListenTcp(0, 1);
    server.SetDefaultPort(holder.LocalPort());
    try {
        server.SetActive(true);
        FAIL() << "started on a taken port";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(server.Active());
}

#ifdef __linux__
TEST_F(TTcpServerTest, StartFailsOnAPortOutOfRange) {
    server.SetDefaultPort(65536);
    try {
        server.SetActive(true);
        FAIL() << "started on port 65536";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), "Socket Error # 22\r\nInvalid argument");
    }
    EXPECT_FALSE(server.Active());
}
#endif

TEST_F(TTcpServerTest, RestartsOnTheSamePortRightAfterAStop) {
    StartEcho();
    // The server closes first, so this connection leaves the port in TIME_WAIT.
    {
        TLoopbackClient client = Connected(port);
        ASSERT_TRUE(client.Send(Framed("a")));
        EXPECT_EQ(ReadToClose(client).bytes, Framed("a"));
    }
    ASSERT_TRUE(WaitFor([&] { return handled == 1; }));
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    server.SetActive(false); // stopping a stopped server does nothing

    server.SetDefaultPort(port);
    ASSERT_NO_THROW(server.SetActive(true));
    EXPECT_EQ(server.BoundPort(), port);
    server.SetActive(true); // starting a started server does nothing
    EXPECT_EQ(server.BoundPort(), port);
    TLoopbackClient client = Connected(port);
    ASSERT_TRUE(client.Send(Framed("b")));
    EXPECT_EQ(ReadToClose(client).bytes, Framed("b"));
}

TEST_F(TTcpServerTest, StopClosesIdleConnections) {
    StartEcho();
    const size_t count = 100;
    std::vector<TLoopbackClient> clients;
    // In batches below the backlog, so that no connection attempt is dropped and retried a second later.
    for (size_t i = 1; i <= count; ++i) {
        clients.push_back(Connected(port));
        if (i % 10 == 0) {
            ASSERT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == i; }));
        }
    }

    ASSERT_NO_THROW(server.SetActive(false));
    EXPECT_EQ(server.LiveConnectionCount(), 0u);
    EXPECT_EQ(handled, 0);
    for (auto& client : clients) {
        TReply reply = ReadToClose(client);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
}

// Takes the full stop wait of five seconds.
TEST_F(TTcpServerTest, StopTimesOutOnAHandlerThatIgnoresTheClosedSocket) {
    server.SetRequestHandler([this](const std::string& request, const TRequestOrigin&) {
        ++arrived;
        WaitFor([this] { return gate.IsOpen(); }, 60s);
        return std::optional<std::string>(request);
    });
    Start();
    TLoopbackClient client = Connected(port);
    ASSERT_TRUE(client.Send(Framed("stuck")));
    ASSERT_TRUE(WaitFor([&] { return arrived == 1; }));
    try {
        server.SetActive(false);
        FAIL() << "stop did not time out";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), "Terminate Thread Timeout");
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.LiveConnectionCount(), 1u);
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
    // Closed by the stop, its answer never sent.
    const TReply reply = ReadToClose(client);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
}

} // namespace

TEST(LogThrottleTest, OneLinePerAddressAndMinute) {
    struct TStep {
        TIpv4 key;
        int seconds; // since the first step
        bool logged;
    };
    const TStep steps[] = {
        {1, 0, true},   {1, 59, false},  {2, 59, true},  {1, 60, true},
        {1, 61, false}, {2, 118, false}, {2, 119, true},
    };
    TLogThrottle throttle(std::chrono::minutes(1));
    const auto start = TLogThrottle::TClock::now();
    for (const TStep& step : steps)
        EXPECT_EQ(throttle.Allow(step.key, start + std::chrono::seconds(step.seconds)), step.logged)
            << step.key << " at " << step.seconds << " s";

    // A scan of many addresses neither loses the throttle of recent ones nor grows without end.
    for (TIpv4 key = 100; key < 100 + 10000; ++key)
        EXPECT_TRUE(throttle.Allow(key, start + std::chrono::seconds(200 + (key - 100) / 100)));
    EXPECT_FALSE(throttle.Allow(100 + 9999, start + std::chrono::seconds(300)));
    EXPECT_LT(throttle.Size(), 9000u);
}

namespace {

// A listener with the TLS layer and the certificates of scripts/make-certs.sh, and a client of the same CA.
class TTlsServerTest : public TTcpServerTest {
protected:
    void SetUp() override {
        const std::string command = "bash '" DOORLOCK_SOURCE_DIR "/scripts/make-certs.sh' '" +
                                    sandbox.Path().string() + "' 127.0.0.1 >/dev/null";
        if (std::system(command.c_str()) != 0)
            GTEST_SKIP() << "scripts/make-certs.sh cannot run here";
        server.SetTls(TTlsContext::ForServer(sandbox.File("host.pem"), sandbox.File("host.key"),
                                             sandbox.File("ca.pem")));
        client = TTlsContext::ForClient(sandbox.File("ca.pem"), sandbox.File("client.pem"),
                                        sandbox.File("client.key"));
    }

    // A connection with its handshake done; null when the handshake failed.
    struct TTlsLink {
        TSocket socket;
        std::unique_ptr<TTlsSocketChannel> channel;
        std::unique_ptr<TTlsSession> session;
    };
    std::unique_ptr<TTlsLink> Open(TTlsResumption* resumption = nullptr) {
        auto link = std::make_unique<TTlsLink>();
        link->socket = ConnectTcp("127.0.0.1", port);
        link->socket.SetReceiveTimeout(10000);
        link->channel = std::make_unique<TTlsSocketChannel>(link->socket);
        link->session = std::make_unique<TTlsSession>(*client, *link->channel);
        return link->session->Connect("127.0.0.1", resumption) ? std::move(link) : nullptr;
    }
    // The request with its NUL, then what comes back until the close.
    static std::string Exchange(TTlsLink& link, std::string_view text) {
        const std::string bytes = Framed(text);
        if (!link.session->Send(bytes.data(), bytes.size()))
            return "send failed";
        std::string reply;
        char chunk[256];
        for (long n; (n = link.session->Receive(chunk, sizeof chunk)) > 0;)
            reply.append(chunk, static_cast<size_t>(n));
        return reply;
    }

    // The handlers use the members below: stopped before they go.
    void TearDown() override {
        TTcpServerTest::TearDown();
        server.SetActive(false);
    }

    TSandbox sandbox;
    std::shared_ptr<TTlsContext> client;
    std::mutex subjectsLock;
    std::vector<std::string> subjects;
};

} // namespace

TEST_F(TTlsServerTest, CycleRunsInsideTheSessionWhichTheNextConnectionResumes) {
    server.SetRequestHandler([this](const std::string& request, const TRequestOrigin& origin) {
        std::lock_guard lock(subjectsLock);
        subjects.push_back(origin.Subject);
        return std::optional<std::string>(request);
    });
    Start();
    TTlsResumption resumption;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        auto link = Open(&resumption);
        ASSERT_TRUE(link);
        EXPECT_EQ(Exchange(*link, "r" + std::to_string(i)), Framed("r" + std::to_string(i)));
        // The first needs the full handshake; the others offer the session the one before left.
        EXPECT_EQ(link->session->Resumed(), i > 0);
    }
    // The subject of a resumed session is the certificate's as well.
    EXPECT_EQ(subjects, std::vector<std::string>(3, "CN=hotel-system,O=Hotel"));
}

namespace {

// Runs scripts/make-certs.sh with these arguments; true when it exits 0.
bool RunMakeCerts(const std::string& arguments) {
    const std::string command =
        "bash '" DOORLOCK_SOURCE_DIR "/scripts/make-certs.sh' " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

} // namespace

TEST_F(TTlsServerTest, ClientAddedLaterChainsToTheCAAHostAlreadyTrusts) {
    // A second client, and a re-run for a new host certificate, must leave the CA the host was given.
    const std::string dir = "'" + sandbox.Path().string() + "'";
    const std::string ca = ReadFileBytes(sandbox.File("ca.pem"));
    ASSERT_TRUE(RunMakeCerts("--add-client pms-2 " + dir));
    ASSERT_TRUE(RunMakeCerts(dir + " 127.0.0.1"));
    EXPECT_EQ(ReadFileBytes(sandbox.File("ca.pem")), ca);
    EXPECT_EQ(std::system(("openssl verify -CAfile " + dir + "/ca.pem " + dir + "/pms-2.pem " + dir +
                           "/client.pem >/dev/null")
                              .c_str()),
              0);

    server.SetRequestHandler([this](const std::string& request, const TRequestOrigin& origin) {
        std::lock_guard lock(subjectsLock);
        subjects.push_back(origin.Subject);
        return std::optional<std::string>(request);
    });
    Start();
    client =
        TTlsContext::ForClient(sandbox.File("ca.pem"), sandbox.File("pms-2.pem"), sandbox.File("pms-2.key"));
    auto link = Open();
    ASSERT_TRUE(link);
    EXPECT_EQ(Exchange(*link, "r"), Framed("r"));
    EXPECT_EQ(subjects, std::vector<std::string>{"CN=pms-2,O=Hotel"});

    // Only --new-ca replaces it.
    ASSERT_TRUE(RunMakeCerts("--new-ca " + dir + " 127.0.0.1"));
    EXPECT_NE(ReadFileBytes(sandbox.File("ca.pem")), ca);
}

TEST_F(TTlsServerTest, MakeCertsRefusesWhatWouldBreakTheCA) {
    const std::string dir = "'" + sandbox.Path().string() + "'";
    const std::string empty = "'" + sandbox.File("empty") + "'";
    const std::string ca = ReadFileBytes(sandbox.File("ca.pem"));
    struct TCase {
        std::string arguments;
        std::string absent; // a file the refusal must not have made
    };
    const TCase cases[] = {
        {"--add-client pms-2 " + empty, sandbox.File("empty/pms-2.pem")},
        {"--add-client ca " + dir, ""},
        {"--add-client host " + dir, ""},
        {"--add-client ../pms-2 " + dir, sandbox.File("pms-2.pem")},
        {"--add-client pms-2 " + dir + " 127.0.0.1", sandbox.File("pms-2.pem")},
        {"--add-client", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_FALSE(RunMakeCerts(c.arguments));
        if (!c.absent.empty()) {
            EXPECT_FALSE(std::filesystem::exists(c.absent));
        }
        EXPECT_EQ(ReadFileBytes(sandbox.File("ca.pem")), ca);
    }
    // Without ca.key nothing can be signed under the CA, and a re-run must not quietly make another.
    std::filesystem::remove(sandbox.File("ca.key"));
    EXPECT_FALSE(RunMakeCerts(dir));
    EXPECT_EQ(ReadFileBytes(sandbox.File("ca.pem")), ca);
}

TEST_F(TTlsServerTest, HandshakeCountsAgainstTheCapUntilTheAnswer) {
    // The handshake's bytes are no answer: a client that only shakes hands still holds its slot.
    server.SetMaxReadingConnections(1);
    StartEcho();
    auto holder = Open();
    ASSERT_TRUE(holder);
    EXPECT_FALSE(Open());
    EXPECT_EQ(Exchange(*holder, "r"), Framed("r"));
    holder.reset();
    auto next = Open();
    ASSERT_TRUE(next);
    EXPECT_EQ(Exchange(*next, "s"), Framed("s"));
}

// The deadline runs from the accept, the handshake included: a client that connects and says nothing, one
// that stops inside its ClientHello and one that shakes hands and then sends nothing are all closed. The
// deadline leaves a handshake on a loaded machine ample time.
TEST_F(TTlsServerTest, RequestTimeoutCoversTheHandshake) {
    server.SetRequestTimeout(2s);
    StartEcho();
    // Clients that wait less than the others' 30 s: without the deadline the case fails sooner.
    TLoopbackClient silent(10s), partial(10s);
    ASSERT_TRUE(silent.Connect(port));
    ASSERT_TRUE(partial.Connect(port));
    // A handshake record that announces 512 bytes, and the first of its ClientHello.
    ASSERT_TRUE(partial.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01", 8)));
    auto shaken = Open();
    ASSERT_TRUE(shaken);
    EXPECT_TRUE(ReadToClose(silent).closed);
    EXPECT_TRUE(ReadToClose(partial).closed);
    char byte = 0;
    EXPECT_LE(shaken->session->Receive(&byte, 1), 0);
    // Closed by the host, not only given up on by the clients.
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnectionCount() == 0; }));
    EXPECT_EQ(handled, 0);
}
