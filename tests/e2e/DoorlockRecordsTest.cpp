#include "e2e/DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"

#include <soci/soci.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct TIssueRow {
    std::string RegisterId, CardNo, RoomNo, LastCheckInTime, CheckInTime, CheckOutTime, GuestName;
    int CardType = 0;
    int IsCopy = 0;
};

std::string Text(const soci::row& row, const std::string& column) {
    const soci::indicator ind = row.get_indicator(column);
    if (ind == soci::i_null)
        return "";
    if (row.get_properties(column).get_data_type() == soci::dt_string)
        return row.get<std::string>(column);
    if (row.get_properties(column).get_data_type() == soci::dt_integer)
        return std::to_string(row.get<int>(column));
    if (row.get_properties(column).get_data_type() == soci::dt_long_long)
        return std::to_string(row.get<long long>(column));
    return "?";
}

std::vector<std::vector<std::string>> Query(const std::string& file, const std::string& sql,
                                            const std::vector<std::string>& columns) {
    soci::session session("sqlite3", "db=" + file);
    std::vector<std::vector<std::string>> result;
    soci::rowset<soci::row> rows = session.prepare << sql;
    for (const soci::row& row : rows) {
        std::vector<std::string> values;
        for (const auto& c : columns)
            values.push_back(Text(row, c));
        result.push_back(values);
    }
    return result;
}

std::string CardNoOf(const std::string& response) {
    size_t start = response.find("<CardNo>");
    size_t end = response.find("</CardNo>");
    if (start == std::string::npos || end == std::string::npos)
        return "";
    return response.substr(start + 8, end - start - 8);
}

} // namespace

TEST_F(TDoorlockHostTest, NewCardRecordsItsStartAndCopiesReuseIt) {
    StartHost("UseNativeDoorlockDb=1\r\nDelayMinutes=0\r\n");
    // A new card starts now, whatever the request says; the room's start is recorded.
    EXPECT_NE(Send(IssueCardRequest("0816", "2001-01-01 00:00:00", "2026-12-31 14:30:00")).find(">200<"),
              std::string::npos);
    auto rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][0], "01080816");
    EXPECT_EQ(rooms[0][1].substr(0, 4) >= "2026", true) << rooms[0][1];
    EXPECT_NE(LogText().find(Gbk("新建房间01080816")), std::string::npos);

    // A copy reads the recorded start and changes nothing.
    std::string recorded = rooms[0][1];
    EXPECT_NE(
        Send(IssueCardRequest("0816", "2001-01-01 00:00:00", "2026-12-31 14:30:00", true)).find(">200<"),
        std::string::npos);
    rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][1], recorded);
}

TEST_F(TDoorlockHostTest, FirstCopyForAnUnknownRoomRecordsTheClock) {
    StartHost("UseNativeDoorlockDb=1\r\nDelayMinutes=30\r\n");
    Send(IssueCardRequest("0901", "2001-01-01 00:00:00", "2026-12-31 14:30:00", true));
    auto rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][0], "01080901");
    EXPECT_GE(rooms[0][1], std::string("2026"));
}

TEST_F(TDoorlockHostTest, FailedIssueStillAddsItsRecordWithCardNumberZero) {
    StartHost("SaveDoorlockRecord=1\r\n", false); // no card on the encoder
    std::string response =
        Send(IssueCardRequest("0816", "2026-12-29 12:00:00", "2026-12-31 14:30:00", false, "张三", "R42"));
    EXPECT_NE(response.find("<ResultCode>500</ResultCode>"), std::string::npos);
    auto rows = Query(
        DatabaseFile(),
        "select RegisterId, CardNo, RoomNo, CardType, CheckInTime, CheckOutTime, IsCopy, GuestName "
        "from T_IssueCardRecord",
        {"RegisterId", "CardNo", "RoomNo", "CardType", "CheckInTime", "CheckOutTime", "IsCopy", "GuestName"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"R42", "0", "01080816", "1", "2026-12-29 12:00:00",
                                                 "2026-12-31 14:30:00", "0", "张三"}));
}

TEST_F(TDoorlockHostTest, ManyClientsAtOnceAllGetCorrectAnswers) {
    StartHost("SaveDoorlockRecord=1\r\n");
    constexpr int kClients = 64;
    constexpr int kRequests = 50;
    std::atomic<int> wrong{0};
    std::atomic<int> issues{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kRequests; ++r) {
                if ((c + r) % 2 == 0) {
                    std::string response =
                        Send(IssueCardRequest("0816", "2026-12-29 12:00:00", "2026-12-31 14:30:00"));
                    ++issues;
                    if (response !=
                        "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
                        "<ResultMessage>发卡成功</ResultMessage><CardNo>816123114</CardNo></DoorResponse>" +
                            std::string(1, '\0'))
                        ++wrong;
                } else {
                    std::string response = Send("<r type=\"ReadCard\"/>");
                    ++reads;
                    std::string card = CardNoOf(response);
                    // Every read sees either the blank card or the written one, never a torn record.
                    if (response.find("<ResultCode>200</ResultCode>") == std::string::npos ||
                        (card != "15151515" && card != "816123114"))
                        ++wrong;
                }
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(wrong.load(), 0);

    auto rows = Query(DatabaseFile(), "select count(*) as n from T_IssueCardRecord", {"n"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::to_string(issues.load()));

    // Every request logged its closing line, and no line was torn.
    const std::string done = Gbk("完成一次操作");
    int doneLines = 0;
    for (const auto& line : LogLines()) {
        if (line == done)
            ++doneLines;
    }
    EXPECT_EQ(doneLines, kClients * kRequests);
    EXPECT_EQ(StopHost(), 0);
}

// Simultaneous issues share a commit; a row the database refuses with a ROLLBACK (as a full disk or an I/O
// error would end the whole transaction) must not take the others with it, nor go unmentioned itself.
TEST_F(TDoorlockHostTest, EveryAnsweredIssueHasItsRowOrALoggedError) {
    {
        soci::session db("sqlite3", "db=" + DatabaseFile());
        db << "CREATE TABLE T_IssueCardRecord(RegisterId TEXT, CardNo TEXT, RoomNo TEXT, CardType INTEGER, "
              "LastCheckInTime TIMESTAMP, CheckInTime TIMESTAMP, CheckOutTime TIMESTAMP, IsCopy INTEGER, "
              "GuestName TEXT, OpratingTime TIMESTAMP)";
        db << "CREATE TRIGGER Refuse BEFORE INSERT ON T_IssueCardRecord WHEN NEW.RegisterId LIKE 'refused-%' "
              "BEGIN SELECT RAISE(ROLLBACK, 'not now'); END";
    }
    StartHost("SaveDoorlockRecord=1\r\n");
    constexpr int kRounds = 5;
    constexpr int kClients = 16;
    std::vector<std::string> answered;
    std::mutex answeredLock;
    for (int round = 0; round < kRounds; ++round) {
        std::latch start(kClients);
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, round, c] {
                const std::string id =
                    (c == kClients / 2 ? "refused-" : "R") + std::to_string(round) + "-" + std::to_string(c);
                start.arrive_and_wait();
                const std::string response = Send(
                    IssueCardRequest("0816", "2026-12-29 12:00:00", "2026-12-31 14:30:00", false, "G", id));
                if (response.find("<ResultCode>200</ResultCode>") != std::string::npos) {
                    std::lock_guard<std::mutex> guard(answeredLock);
                    answered.push_back(id);
                }
            });
        }
        for (auto& t : clients)
            t.join();
    }
    EXPECT_EQ(answered.size(), static_cast<size_t>(kRounds * kClients));
    std::set<std::string> stored;
    for (const auto& row : Query(DatabaseFile(), "select RegisterId from T_IssueCardRecord", {"RegisterId"}))
        stored.insert(row[0]);
    const std::string log = LogText();
    for (const std::string& id : answered) {
        const bool logged = log.find('"' + id + '"') != std::string::npos;
        if (id.rfind("refused-", 0) == 0)
            EXPECT_TRUE(logged && stored.count(id) == 0) << id;
        else
            EXPECT_TRUE(stored.count(id) == 1 && !logged) << id;
    }
}

TEST_F(TDoorlockHostTest, TwoCopiesAtTheSameMomentShareOneRecordedStart) {
    StartHost("UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=1\r\n");
    std::string copy = IssueCardRequest("0820", "2001-01-01 00:00:00", "2026-12-31 14:30:00", true);
    std::thread a([&] { Send(copy); });
    std::thread b([&] { Send(copy); });
    a.join();
    b.join();
    auto rooms = Query(DatabaseFile(), "select LastCheckInTime from T_Room", {"LastCheckInTime"});
    EXPECT_EQ(rooms.size(), 1u);
    auto starts = Query(DatabaseFile(), "select LastCheckInTime from T_IssueCardRecord", {"LastCheckInTime"});
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0][0], starts[1][0]);
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(starts[0][0], rooms[0][0]);
}

TEST_F(TDoorlockHostTest, StoppingClosesIdleConnectionsWithinTheWait) {
    StartHost();
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(ConnectTo(m_port));
    // Connections are accepted in order: once a later request is answered, all 100 are being served.
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("15151515"), std::string::npos);
    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(m_host->Errors().find("Terminate Thread Timeout"), std::string::npos);
    EXPECT_NE(m_host->Output().find("接口监听服务器已经停止。"), std::string::npos);
    int closedByServer = 0;
    for (int fd : idle) {
        if (ClosedByPeer(fd, std::chrono::seconds(5)))
            ++closedByServer;
    }
    EXPECT_EQ(closedByServer, 100);
}
