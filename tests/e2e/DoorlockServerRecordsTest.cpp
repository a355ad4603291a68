// The records of hosts on a PostgreSQL server (scripts/with-postgres.sh starts one): desks sharing it, the
// server stopping or going silent under a running host.
#include "DoorlockHostFixture.h"

#include "support/PostgresSchema.h"

#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SocketUnit.h"

#include <soci/soci.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Each issued-card row's card start by RegisterId, from a store on the test server.
std::map<std::string, std::string> ServerStarts(const TPostgresSchema& schema) {
    soci::session session("postgresql", ParsePostgresConninfo(schema.ConnectText()).KeywordForm);
    std::map<std::string, std::string> starts;
    soci::rowset<soci::row> rows =
        (session.prepare << "select RegisterId, CAST(LastCheckInTime AS TEXT) from T_IssueCardRecord");
    for (const soci::row& row : rows)
        starts[row.get<std::string>(0)] = row.get_indicator(1) == soci::i_null ? "" : row.get<std::string>(1);
    return starts;
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

const char* const Ok = "<ResultCode>200</ResultCode>";

} // namespace

// Two front desks, each with its own slow encoder, share one server. A copy at one desk started while the
// other desk writes a new card for the room waits for that card and carries its start. Two rooms run at the
// same time, their new cards at different desks.
TEST_F(TDoorlockHostTest, TwoDesksOnOneServerGiveACopyTheStartOfTheNewCardBeingWritten) {
    if (!TPostgresSchema::Available())
        GTEST_SKIP() << TPostgresSchema::Missing();
    TPostgresSchema schema;
    const std::string options =
        "EncoderLibrary=" + std::string(FAKE_CARDENC_PATH) +
        "\r\nUseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + schema.Uri() + "\r\n";
    SetEnvironment("FAKE_CARDENC_WRITE_MS", "500");
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", m_sandbox.File("calls.txt").c_str());
    StartHost(options);
    TSandbox callsB;
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", callsB.File("calls.txt").c_str());
    auto deskB = StartDesk(options);
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", nullptr);
    SetEnvironment("FAKE_CARDENC_WRITE_MS", nullptr);
    ASSERT_NE(deskB->Host, nullptr);

    struct TRoom {
        std::string room;
        int newDesk, copyDesk;
        std::string written; // the card record's room bytes in the library's call line
    };
    const TRoom rooms[] = {{"0816", m_port, deskB->Port, " 11 08 16 "},
                           {"0817", deskB->Port, m_port, " 11 08 17 "}};
    const std::string callFiles[] = {m_sandbox.File("calls.txt"), callsB.File("calls.txt")};
    constexpr int Rounds = 20;
    std::atomic<int> wrong{0};
    auto run = [&](const TRoom& r) {
        soci::session raw("postgresql", ParsePostgresConninfo(schema.ConnectText()).KeywordForm);
        const std::string& newCalls = callFiles[r.newDesk == m_port ? 0 : 1];
        for (int round = 0; round < Rounds; ++round) {
            // An old start, which a copy that did not wait would carry.
            raw << "update T_Room set LastCheckInTime = '2001-01-01 00:00:00' where RoomNo = '0108" + r.room +
                       "'";
            const std::string id = r.room + "-" + std::to_string(round);
            std::string newResponse;
            std::thread newCard([&] {
                newResponse =
                    Request(r.newDesk, IssueCardRequest(r.room, "2026-12-29 12:00:00", "2026-12-31 14:30:00",
                                                        false, "Guest", "N" + id));
            });
            if (!WaitFor([&] { return Count(ReadFileBytes(newCalls), r.written) == round + 1; }))
                ++wrong;
            const std::string copy =
                Request(r.copyDesk, IssueCardRequest(r.room, "2026-12-29 12:00:00", "2026-12-31 14:30:00",
                                                     true, "Guest", "C" + id));
            newCard.join();
            if (newResponse.find(Ok) == std::string::npos || copy.find(Ok) == std::string::npos)
                ++wrong;
        }
    };
    std::thread second(run, rooms[1]);
    run(rooms[0]);
    second.join();
    EXPECT_EQ(wrong.load(), 0);

    const std::map<std::string, std::string> starts = ServerStarts(schema);
    EXPECT_EQ(starts.size(), 4u * Rounds);
    for (const TRoom& r : rooms) {
        for (int round = 0; round < Rounds; ++round) {
            const std::string id = r.room + "-" + std::to_string(round);
            SCOPED_TRACE(id);
            ASSERT_EQ(starts.count("N" + id), 1u);
            EXPECT_NE(starts.at("N" + id), "2001-01-01 00:00:00");
            EXPECT_EQ(starts.count("C" + id) ? starts.at("C" + id) : "", starts.at("N" + id));
        }
    }
    // No issue had to give up waiting for a lock.
    const std::string waited = Gbk("等待记录锁超过");
    EXPECT_EQ(LogText().find(waited), std::string::npos);
    EXPECT_EQ(deskB->LogText().find(waited), std::string::npos);
}

// The server stops under a running host and starts again: every request is answered meanwhile, and the
// next issue after the start stores its rows without a restart of the host.
TEST_F(TDoorlockHostTest, AServerStoppedUnderTheHostIsUsedAgainOnceItIsBack) {
    if (!TPostgresSchema::Available())
        GTEST_SKIP() << TPostgresSchema::Missing();
    if (!TPostgresSchema::CanControlRestartServer())
        GTEST_SKIP() << "the server's control program cannot be run here";
    TPostgresSchema schema(TPostgresSchema::RestartServerUri());
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + schema.Uri() + "\r\n");
    // The log names the store; the URI's password would never show (it has none here).
    const std::string uri = TPostgresSchema::RestartServerUri();
    const std::string port = uri.substr(uri.rfind(':') + 1, uri.rfind('/') - uri.rfind(':') - 1);
    EXPECT_NE(
        LogText().find(Gbk("数据库: PostgreSQL user=postgres dbname=postgres host=127.0.0.1 port=") + port),
        std::string::npos);

    auto issue = [&](const std::string& id, bool copy) {
        return Send(
            IssueCardRequest("0816", "2026-12-29 12:00:00", "2026-12-31 14:30:00", copy, "Guest", id));
    };
    EXPECT_NE(issue("before", false).find(Ok), std::string::npos);
    ASSERT_TRUE(TPostgresSchema::ControlRestartServer("stop"));
    const size_t logBefore = LogLines().size();
    EXPECT_NE(issue("down-new", false).find(Ok), std::string::npos);
    EXPECT_NE(issue("down-copy", true).find(Ok), std::string::npos);
    EXPECT_GT(LogLines().size(), logBefore + 4); // the store's failures are logged
    ASSERT_TRUE(TPostgresSchema::ControlRestartServer("start"));
    // The rows of the issues answered meanwhile are stored once the server is back, without a request.
    ASSERT_TRUE(WaitFor([&] { return ServerStarts(schema).size() == 3; }, std::chrono::seconds(30)));
    EXPECT_NE(issue("back", false).find(Ok), std::string::npos);
    EXPECT_NE(issue("back-copy", true).find(Ok), std::string::npos);

    const std::map<std::string, std::string> starts = ServerStarts(schema);
    EXPECT_EQ(starts.size(), 5u);
    EXPECT_EQ(starts.count("before"), 1u);
    EXPECT_EQ(starts.count("down-new"), 1u);
    EXPECT_EQ(starts.count("down-copy"), 1u);
    ASSERT_EQ(starts.count("back"), 1u);
    ASSERT_EQ(starts.count("back-copy"), 1u);
    EXPECT_EQ(starts.at("back-copy"), starts.at("back"));
    EXPECT_EQ(StopHost(), 0);
    // The server's notices about tables that exist already (at the reconnect) are no errors.
    EXPECT_EQ(m_host->Errors(), "");
}

namespace {

// A port in front of the test server: passes connections on until it goes silent; then it accepts new ones
// and never answers (a server that hangs), and the connections it passed on are cut.
class TServerProxy {
public:
    explicit TServerProxy(int serverPort) : m_serverPort(serverPort) {
        TIpv4 loopback = 0;
        ParseIpv4("127.0.0.1", loopback);
        m_listener = ListenTcp(0, 64, loopback);
        m_port = m_listener.LocalPort();
        m_thread = std::thread([this] { Run(); });
    }
    ~TServerProxy() {
        m_stop = true;
        m_thread.join();
        Cut();
    }
    int Port() const { return m_port; }
    void GoSilent() {
        m_silent = true;
        Cut();
    }
    void Answer() { m_silent = false; }

private:
    struct TPair {
        TSocket client, server;
        std::thread up, down;
    };

    static void Pump(const TSocket& from, const TSocket& to) {
        char buffer[8192];
        for (long n; (n = from.Receive(buffer, sizeof buffer)) > 0;) {
            if (!to.SendAll(buffer, static_cast<size_t>(n)))
                break;
        }
        to.ShutdownBoth();
        from.ShutdownBoth();
    }

    void Run() {
        while (!m_stop) {
            TSocket client;
            if (AcceptTcp(m_listener, 100, client) != TAcceptResult::Accepted)
                continue;
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_silent) {
                m_swallowed.push_back(std::move(client));
                continue;
            }
            auto pair = std::make_unique<TPair>();
            pair->client = std::move(client);
            try {
                pair->server = ConnectTcp("127.0.0.1", m_serverPort);
            } catch (const std::exception&) {
                continue; // the client sees its connection closed
            }
            TPair& p = *pair;
            p.up = std::thread([&p] { Pump(p.client, p.server); });
            p.down = std::thread([&p] { Pump(p.server, p.client); });
            m_pairs.push_back(std::move(pair));
        }
    }

    void Cut() {
        std::vector<std::unique_ptr<TPair>> pairs;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pairs.swap(m_pairs);
        }
        for (auto& pair : pairs) {
            pair->client.ShutdownBoth();
            pair->server.ShutdownBoth();
            pair->up.join();
            pair->down.join();
        }
    }

    int m_serverPort;
    int m_port = 0;
    TSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_silent{false};
    std::mutex m_lock;
    std::vector<std::unique_ptr<TPair>> m_pairs;
    std::vector<TSocket> m_swallowed;
    std::thread m_thread;
};

} // namespace

// The server goes silent under a running host: four issues at once are each answered within about one
// connect time-out (5 s), not one after the other, and their rows reach the server once it answers again.
TEST_F(TDoorlockHostTest, ASilentServerDelaysNoAnswerBeyondTheConnectTimeOut) {
    if (!TPostgresSchema::Available())
        GTEST_SKIP() << TPostgresSchema::Missing();
    TPostgresSchema schema;
    const std::string server = TPostgresSchema::ServerUri();
    const size_t portAt = server.rfind(':') + 1;
    const size_t portEnd = server.rfind('/');
    TServerProxy proxy(std::stoi(server.substr(portAt, portEnd - portAt)));
    std::string viaProxy = schema.Uri();
    viaProxy.replace(portAt, portEnd - portAt, std::to_string(proxy.Port()));
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + viaProxy + "\r\n");
    auto issue = [&](const std::string& room, const std::string& id) {
        return Send(IssueCardRequest(room, "2026-12-29 12:00:00", "2026-12-31 14:30:00", false, "Guest", id));
    };
    EXPECT_NE(issue("0816", "before").find(Ok), std::string::npos);

    proxy.GoSilent();
    constexpr int Issues = 4;
    std::vector<std::thread> clients;
    std::atomic<int> late{0};
    std::atomic<int> failed{0};
    for (int i = 0; i < Issues; ++i)
        clients.emplace_back([&, i] {
            const auto sent = std::chrono::steady_clock::now();
            if (issue("081" + std::to_string(i), "silent-" + std::to_string(i)).find(Ok) == std::string::npos)
                ++failed;
            if (std::chrono::steady_clock::now() - sent > std::chrono::seconds(8))
                ++late;
        });
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(late.load(), 0);

    proxy.Answer();
    EXPECT_TRUE(WaitFor([&] { return ServerStarts(schema).size() == Issues + 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(StopHost(), 0);
}
