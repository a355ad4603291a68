#include "FairnessUnit.h"
#include "FloodUnit.h"
#include "ListenQueueUnit.h"
#include "LoadRunUnit.h"
#include "LoadgenOptionsUnit.h"
#include "VerdictsUnit.h"

#include "platform/SocketUnit.h"
#include "server/AdmissionUnit.h"
#include "server/SysOptionUnit.h"
#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

struct TAddressCase {
    int index;
    int perAddress;
    const char* address;
};

TEST(LoadgenTest, FloodAddressesCountFromTheTenthAndSkipTheNetworkAndBroadcastParts) {
    const TAddressCase cases[] = {
        {0, 64, "127.0.0.10"},     {63, 64, "127.0.0.10"},        {64, 64, "127.0.0.11"},
        {9999, 64, "127.0.0.166"}, {244 * 64, 64, "127.0.0.254"}, {245 * 64, 64, "127.0.1.1"},
        {498, 1, "127.0.1.254"},   {499, 1, "127.0.2.1"},         {199, 10, "127.0.0.29"},
        {200, 10, "127.0.0.30"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FloodSourceAddress(c.index, c.perAddress), c.address) << c.index << " at " << c.perAddress;
    // Never an address the timed clients use, nor one a /24 reserves.
    for (int i = 0; i < 1000; ++i) {
        const std::string address = FloodSourceAddress(i, 1);
        const std::string last = address.substr(address.rfind('.') + 1);
        EXPECT_NE(address, "127.0.0.1");
        EXPECT_NE(address, "127.0.0.2");
        EXPECT_NE(last, "0") << address;
        EXPECT_NE(last, "255") << address;
    }
    EXPECT_EQ(FloodAddressCount(10000, 64), 157);
    EXPECT_EQ(FloodAddressCount(64, 64), 1);
    EXPECT_EQ(FloodAddressCount(65, 64), 2);
}

struct TOptionsCase {
    std::vector<std::string> args;
    std::vector<TScenario> included; // every other scenario is not
};

TOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "doorlock-loadgen");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    TOptions options;
    ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
    return options;
}

TEST(LoadgenTest, ScenariosAreTheNamedOnesOrTheTableOrTlsAlone) {
    const TOptionsCase cases[] = {
        {{}, {TScenario::Table}},
        {{"--tls"}, {TScenario::Tls}},
        {{"--scenario", "flood,hold"}, {TScenario::Hold, TScenario::Flood}},
        {{"--scenario", "fairness", "--tls"}, {TScenario::Fairness, TScenario::Tls}},
        {{"--scenario", "hold", "--scenario", "hold,table"}, {TScenario::Table, TScenario::Hold}},
    };
    const TScenario all[] = {TScenario::Table, TScenario::Hold, TScenario::Flood, TScenario::Fairness,
                             TScenario::Tls};
    for (const auto& c : cases) {
        const TOptions options = Parse(c.args);
        for (TScenario scenario : all) {
            const bool wanted = std::find(c.included.begin(), c.included.end(), scenario) != c.included.end();
            EXPECT_EQ(Includes(options, scenario), wanted)
                << ScenarioName(scenario) << " with " << ::testing::PrintToString(c.args);
        }
        if (!options.scenarios.empty()) {
            EXPECT_EQ(options.scenarios, c.included) << "run in their fixed order, each once";
        }
    }
}

TEST(LoadgenTest, FloodDefaultsAreTenThousandFromSixtyFourPerAddressUnderAHardLimitOfTwentyThousand) {
    const TOptions options = Parse({});
    EXPECT_EQ(options.holdConnections, 10000);
    EXPECT_EQ(options.perAddress, 64);
    EXPECT_EQ(options.hostNofile, 1024);
    EXPECT_EQ(options.hostNofileHard, 20000);
    EXPECT_EQ(options.floodIssues, 20);
    EXPECT_EQ(options.operationMs, 20);
}

TEST(LoadgenTest, TheFloodsHostReadsEveryFloodConnectionWithinItsHardLimit) {
    for (const bool deadline : {false, true}) {
        TOptions options = Parse({});
        TSandbox sandbox;
        WriteFileBytes(sandbox.File("Option.ini"), "[SysOption]\r\n" + FloodSysOptions(options, deadline));
        TSysOption host(sandbox.File("Option.ini"));
        host.LoadOption();
        const size_t cap = ReadingConnectionCap(static_cast<size_t>(host.MaxReadingConnections),
                                                static_cast<size_t>(host.MaxConnections),
                                                static_cast<size_t>(options.hostNofileHard));
        EXPECT_GE(cap, static_cast<size_t>(options.holdConnections) + 1) << "the flood and a timed client";
        EXPECT_EQ(host.RequestTimeout, deadline ? 30 : 0);
    }
}

TEST(LoadgenTest, BadScenarioNamesAndValuesAreRefused) {
    const std::vector<std::vector<std::string>> cases = {
        {"--scenario", "holdd"},      {"--scenario"},          {"--per-address", "0"},
        {"--hold-connections", "-5"}, {"--flood-issues", "0"}, {"--fairness-seconds", "0"},
        {"--operation-ms", "-1"},
    };
    for (const auto& args : cases)
        EXPECT_THROW(Parse(args), std::exception) << ::testing::PrintToString(args);
}

TEST(LoadgenTest, PercentilesAreNearestRankAndAnswersWithinTheLimitIncludeItButNoFailure) {
    std::vector<int64_t> hundred;
    for (int64_t ms = 1; ms <= 100; ++ms)
        hundred.push_back(ms * 1000000);
    EXPECT_EQ(Percentile(hundred, 0.50), 50);
    EXPECT_EQ(Percentile(hundred, 0.99), 99);
    EXPECT_EQ(Percentile({7000000}, 0.99), 7);
    EXPECT_EQ(Percentile({}, 0.5), 0);

    EXPECT_EQ(CountWithin({-1, 0, 999.9, 1000, 1000.5, 4000}, 1000), 3);
}

TEST(LoadgenTest, VerdictsOfTheFloodHoldAndTlsNeedEveryAnswerEveryConnectionAndRealResumption) {
    TFloodResult flood;
    flood.answerMs = {120, 300, 999};
    EXPECT_TRUE(FloodVerdict(flood).pass);
    flood.answerMs.push_back(-1);
    EXPECT_FALSE(FloodVerdict(flood).pass) << "a failed issue";
    flood.answerMs = {1001};
    EXPECT_FALSE(FloodVerdict(flood).pass);
    flood.answerMs.clear();
    EXPECT_FALSE(FloodVerdict(flood).pass) << "nothing measured";

    THoldResult hold;
    hold.wanted = 10000;
    hold.heldOpen = 10000;
    EXPECT_TRUE(HoldVerdict(hold).pass);
    hold.heldOpen = 9999;
    EXPECT_FALSE(HoldVerdict(hold).pass);

    TTlsResults tls;
    tls.resumed = TRunResult{};
    tls.resumed->seconds = 1;
    tls.resumed->requests = tls.resumed->answered = 3000;
    tls.resumed->resumed = 3000;
    EXPECT_TRUE(TlsVerdict(tls).pass);
    tls.resumed->resumed = 10;
    EXPECT_FALSE(TlsVerdict(tls).pass) << "fast, but with full handshakes";
    tls.resumed->resumed = 3000;
    tls.resumed->requests = 900;
    EXPECT_FALSE(TlsVerdict(tls).pass);
}

TEST(LoadgenTest, ALoneAddressesFairShareIsOneTurnInAllAddresses) {
    TFairnessResult fairness;
    fairness.busyAddresses = 20;
    fairness.busyAnswers.assign(20, 10);
    fairness.loneAnswers = 10;
    EXPECT_DOUBLE_EQ(FairShare(fairness), 1.0 / 21);
    EXPECT_DOUBLE_EQ(LoneShare(fairness), 1.0 / 21);
    fairness.loneAnswers = 0;
    EXPECT_EQ(LoneShare(fairness), 0);
}

// A listener that accepts everything and keeps it, by source address. Its queue is long, so that a busy
// machine that is slow to run its accepts drops no SYN (sent again only a second later).
class TKeepingListener {
public:
    TKeepingListener() : m_listener(ListenTcp(0, 1024)), m_thread([this] { Accept(); }) {}
    ~TKeepingListener() {
        m_stop = true;
        m_thread.join();
    }
    int Port() const { return m_listener.LocalPort(); }
    size_t Accepted() {
        std::lock_guard guard(m_lock);
        return m_accepted.size();
    }
    std::map<std::string, int> ByAddress() {
        std::lock_guard guard(m_lock);
        std::map<std::string, int> counts;
        for (const auto& [address, socket] : m_accepted)
            ++counts[address];
        return counts;
    }
    // Closes the first count connections, as a host does at its request deadline.
    void CloseFirst(size_t count) {
        std::lock_guard guard(m_lock);
        for (size_t i = 0; i < count && i < m_accepted.size(); ++i)
            m_accepted[i].second = TSocket();
    }

private:
    void Accept() {
        while (!m_stop) {
            TSocket socket;
            TIpv4 peer = 0;
            if (AcceptTcp(m_listener, 50, socket, &peer) == TAcceptResult::Accepted) {
                std::lock_guard guard(m_lock);
                m_accepted.emplace_back(Ipv4Text(peer), std::move(socket));
            }
        }
    }

    TSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::pair<std::string, TSocket>> m_accepted;
    std::thread m_thread;
};

struct TRoomCase {
    int connecting;
    std::optional<TListenQueue> queue;
    int room;
    const char* why;
};

TEST(LoadgenTest, AFloodStartsNoMoreConnectsThanTheAcceptQueueHasRoomFor) {
    const TRoomCase cases[] = {
        {0, std::nullopt, 12, "queue unknown: the window alone"},
        {5, std::nullopt, 7, "queue unknown: the window less those in flight"},
        {14, std::nullopt, 0, "more in flight than the window: none, never fewer"},
        {0, TListenQueue{0, 15}, 12, "16 places, 3 kept free, the window bounds it"},
        {0, TListenQueue{12, 15}, 1, "connects made but not yet accepted still take their places"},
        {3, TListenQueue{12, 15}, 0, "as do those in flight"},
        {2, TListenQueue{5, 15}, 6, "both together"},
        {0, TListenQueue{20, 15}, 0, "a queue over its backlog: none"},
        {0, TListenQueue{0, 128}, 12, "a long queue: the window"},
        {0, TListenQueue{0, 0}, 1, "listen(0) still takes one: the flood moves"},
        {0, TListenQueue{0, 3}, 2, "a short queue keeps half for the flood"},
        {1, TListenQueue{0, 3}, 1, "half of a short queue, those in flight included"},
    };
    for (const TRoomCase& c : cases)
        EXPECT_EQ(ConnectRoom(12, c.connecting, c.queue, 3), c.room) << c.why;
}

TEST(LoadgenTest, TheAcceptQueueIsReadForTheListenerOfThePortAlone) {
    // Two listeners that never accept, with connections waiting in each queue.
    constexpr TIpv4 Loopback = 0x7f000001;
    TSocket first = ListenTcp(0, 15, Loopback);
    TSocket second = ListenTcp(0, 7, Loopback);
    const int firstPort = first.LocalPort(), secondPort = second.LocalPort();
    std::vector<TLoopbackClient> clients(7);
    for (size_t i = 0; i < clients.size(); ++i)
        ASSERT_TRUE(clients[i].Connect(i < 5 ? firstPort : secondPort)) << clients[i].ErrorText();

    TListenQueueProbe probe;
    std::optional<TListenQueue> one, two;
    // The last handshake may still be on its way into the queue.
    EXPECT_TRUE(WaitFor([&] {
        one = probe.Read(firstPort);
        two = probe.Read(secondPort);
        return one && two && one->queued == 5 && two->queued == 2;
    }));
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->backlog, 15);
    EXPECT_EQ(two->backlog, 7);
    clients.clear();

    // A port bound without listening has no queue.
    const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(Loopback);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_FALSE(probe.Read(ntohs(address.sin_port)));
    ::close(bound);
}

TEST(LoadgenTest, AFloodHoldsItsConnectionsFromItsAddressesAndMakesAgainWhatTheHostCloses) {
    TKeepingListener listener;
    TFlood flood(listener.Port(), 130, 64);
    flood.Open();
    EXPECT_EQ(flood.Opened(), 130);
    EXPECT_EQ(flood.Failures(), 0) << flood.FirstFailure();
    EXPECT_EQ(flood.OpenNow(), 130);
    ASSERT_TRUE(WaitFor([&] { return listener.Accepted() == 130; }));
    EXPECT_EQ(listener.ByAddress(),
              (std::map<std::string, int>{{"127.0.0.10", 64}, {"127.0.0.11", 64}, {"127.0.0.12", 2}}));

    listener.CloseFirst(5);
    int closed = 0;
    ASSERT_TRUE(WaitFor([&] { return (closed += flood.TakeClosedByHost()) == 5; }));
    EXPECT_EQ(flood.OpenNow(), 125);

    std::atomic<bool> stop{false};
    std::thread keeper([&] { flood.KeepUp(stop); });
    const bool remade = WaitFor([&] { return listener.Accepted() == 135; });
    stop = true;
    keeper.join();
    ASSERT_TRUE(remade);
    EXPECT_EQ(flood.Reconnects(), 5u);
    // The last connects may have been accepted before the flood saw them made.
    EXPECT_TRUE(WaitFor([&] {
        flood.TakeClosedByHost();
        return flood.OpenNow() == 130;
    }));
    EXPECT_EQ(listener.ByAddress().at("127.0.0.10"), 69) << "made again from the address they had";
}

} // namespace
