// The records of hosts on a PostgreSQL server (scripts/with-postgres.sh starts one): desks sharing it, the
// server stopping or going silent under a running host.
#include "DoorlockHostFixture.h"

#include "support/PostgresSchema.h"
#include "support/ServerProxy.h"

#include "platform/CodePageUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <soci/soci.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <thread>

namespace {

// Each issued-card row's card start by RegisterId, from a store on a test server.
std::map<std::string, std::string> ServerStarts(const std::string& connectText) {
    soci::session session("postgresql", ParsePostgresConninfo(connectText).KeywordForm);
    std::map<std::string, std::string> starts;
    soci::rowset<soci::row> rows =
        (session.prepare << "select RegisterId, CAST(LastCheckInTime AS TEXT) from T_IssueCardRecord");
    for (const soci::row& row : rows)
        starts[row.get<std::string>(0)] = row.get_indicator(1) == soci::i_null ? "" : row.get<std::string>(1);
    return starts;
}

std::map<std::string, std::string> ServerStarts(const TPostgresSchema& schema) {
    return ServerStarts(schema.ConnectText());
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
                newResponse = Request(r.newDesk, IssueCardRequest({.room = r.room, .registerId = "N" + id}));
            });
            if (!WaitFor([&] { return Count(ReadFileBytes(newCalls), r.written) == round + 1; }))
                ++wrong;
            const std::string copy =
                Request(r.copyDesk, IssueCardRequest({.room = r.room, .copy = true, .registerId = "C" + id}));
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
        return Send(IssueCardRequest({.copy = copy, .registerId = id}));
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
    // The server's notices about tables that exist already (at the reconnect) are no errors.
    EXPECT_EQ(m_host->Errors(), "");

    // A second outage ends with the host killed: the rows of the issues answered meanwhile were on disk in
    // the spool before their answers, and the host started again stores them once the server is back.
    ASSERT_TRUE(TPostgresSchema::ControlRestartServer("stop"));
    for (const char* id : {"killed-1", "killed-2", "killed-3"})
        EXPECT_NE(issue(id, false).find(Ok), std::string::npos) << id;
    m_host->Stop(SIGKILL);
    ASSERT_TRUE(TPostgresSchema::ControlRestartServer("start"));
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + schema.Uri() + "\r\n");
    EXPECT_TRUE(WaitFor([&] { return ServerStarts(schema).size() == 8; }, std::chrono::seconds(30)));
    for (const char* id : {"killed-1", "killed-2", "killed-3"})
        EXPECT_EQ(ServerStarts(schema).count(id), 1u) << id;
    EXPECT_EQ(StopHost(), 0);
}

// The server goes silent under a running host: four issues at once are each answered within the answer
// budget (8 s), not one after the other, and their rows reach the server once it answers again.
TEST_F(TDoorlockHostTest, ASilentServerDelaysNoAnswerBeyondTheConnectTimeOut) {
    if (!TPostgresSchema::Available())
        GTEST_SKIP() << TPostgresSchema::Missing();
    TPostgresSchema schema;
    const std::string server = TPostgresSchema::ServerUri();
    const size_t portAt = server.rfind(':') + 1;
    const size_t portEnd = server.rfind('/');
    TServerProxy proxy(UriPort(server));
    std::string viaProxy = schema.Uri();
    viaProxy.replace(portAt, portEnd - portAt, std::to_string(proxy.Port()));
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + viaProxy + "\r\n");
    auto issue = [&](const std::string& room, const std::string& id) {
        return Send(IssueCardRequest({.room = room, .registerId = id}));
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

// Another program holds T_Room locked: simultaneous issues for different rooms are each answered within the
// answer budget (8 s), as their statements end at the lock time-out and no room waits for another, and their
// rows are on the server once the lock is let go.
TEST_F(TDoorlockHostTest, ALockedRoomTableDelaysNoAnswerPastTheBudget) {
    if (!TPostgresSchema::Available())
        GTEST_SKIP() << TPostgresSchema::Missing();
    TPostgresSchema schema;
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + schema.Uri() + "\r\n");
    auto issue = [&](const std::string& room, bool copy, const std::string& id) {
        return Send(IssueCardRequest({.room = room, .copy = copy, .registerId = id}));
    };
    ASSERT_NE(issue("0816", false, "before").find(Ok), std::string::npos);

    soci::session locker("postgresql", ParsePostgresConninfo(schema.ConnectText()).KeywordForm);
    locker.begin();
    locker << "LOCK TABLE T_Room IN ACCESS EXCLUSIVE MODE";
    // More than four: one after the other, even the lock time-outs alone would add up past the budget.
    constexpr int Issues = 8;
    std::vector<std::thread> clients;
    std::atomic<int> late{0};
    std::atomic<int> failed{0};
    std::atomic<long long> longest{0};
    for (int i = 0; i < Issues; ++i)
        clients.emplace_back([&, i] {
            const auto sent = std::chrono::steady_clock::now();
            if (issue("082" + std::to_string(i), i % 2 == 1, "locked-" + std::to_string(i)).find(Ok) ==
                std::string::npos)
                ++failed;
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - sent);
            if (took > std::chrono::seconds(8))
                ++late;
            for (long long seen = longest;
                 took.count() > seen && !longest.compare_exchange_weak(seen, took.count());) {
            }
        });
    for (std::thread& client : clients)
        client.join();
    locker.rollback();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(late.load(), 0);
    RecordProperty("LongestAnswerMs", std::to_string(longest.load()));
    EXPECT_TRUE(WaitFor([&] { return ServerStarts(schema).size() == Issues + 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(StopHost(), 0);
}

// A primary and its synchronous standby (scripts/with-postgres.sh): the host issues cards steadily against
// both, the primary stops and the standby is promoted. Every request is answered, issues reach the store
// again within a bounded time, and every answered issue's row is on the new primary.
TEST_F(TDoorlockHostTest, IssuesGoOnThroughAFailoverAndEveryAnsweredRowIsOnTheNewPrimary) {
    const char* primary = std::getenv("DOORLOCK_TEST_PG_PRIMARY");
    const char* standby = std::getenv("DOORLOCK_TEST_PG_STANDBY");
    const char* control = std::getenv("DOORLOCK_TEST_PG_FAILOVER_CONTROL");
    if (primary == nullptr || standby == nullptr || control == nullptr)
        GTEST_SKIP() << TPostgresSchema::Missing();
    const std::string hosts = std::string("host=127.0.0.1,127.0.0.1 port=") + primary + "," + standby +
                              " user=postgres dbname=postgres target_session_attrs=read-write";
    const std::string newPrimary =
        std::string("host=127.0.0.1 port=") + standby + " user=postgres dbname=postgres";
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\nDatabase=" + hosts + "\r\n");

    std::vector<std::string> answered;
    int unanswered = 0;
    int next = 0;
    auto issue = [&] {
        const std::string id = "F" + std::to_string(next);
        const std::string response =
            Send(IssueCardRequest({.room = "08" + std::to_string(16 + next % 4), .registerId = id}));
        ++next;
        if (response.find(Ok) != std::string::npos)
            answered.push_back(id);
        else
            ++unanswered;
    };
    auto allStored = [&] {
        try {
            const std::map<std::string, std::string> starts = ServerStarts(newPrimary);
            return std::all_of(answered.begin(), answered.end(),
                               [&](const std::string& id) { return starts.count(id) == 1; });
        } catch (const std::exception&) {
            return false;
        }
    };
    for (int i = 0; i < 10; ++i)
        issue();
    ASSERT_EQ(std::system((std::string(control) + " stop-primary").c_str()), 0);
    for (int i = 0; i < 3; ++i)
        issue();
    ASSERT_EQ(std::system((std::string(control) + " promote").c_str()), 0);
    const auto promoted = std::chrono::steady_clock::now();
    // Issues go on until the new primary holds every row answered so far: the switch is over.
    const auto deadline = promoted + std::chrono::seconds(60);
    while (!allStored() && std::chrono::steady_clock::now() < deadline)
        issue();
    const auto switched = std::chrono::steady_clock::now();
    ASSERT_TRUE(allStored());
    RecordProperty(
        "SwitchMs",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(switched - promoted).count()));
    for (int i = 0; i < 10; ++i)
        issue();
    EXPECT_EQ(unanswered, 0);
    EXPECT_TRUE(WaitFor(allStored, std::chrono::seconds(30)));
    EXPECT_EQ(StopHost(), 0);
}
