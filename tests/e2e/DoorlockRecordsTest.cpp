#include "DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "records/RecordBackendsUnit.h"
#include "support/RecordTestSupport.h"

#include <soci/soci.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct TIssueRow {
    std::string RegisterId, CardNo, RoomNo, LastCheckInTime, CheckInTime, CheckOutTime, GuestName;
    int CardType = 0;
    int IsCopy = 0;
};

std::vector<std::vector<std::string>> Query(const std::string& file, const std::string& sql,
                                            const std::vector<std::string>& columns) {
    RegisterLinkedBackends();
    soci::session session("sqlite3", "db=" + file);
    std::vector<std::vector<std::string>> result;
    soci::rowset<soci::row> rows = session.prepare << sql;
    for (const soci::row& row : rows) {
        std::vector<std::string> values;
        for (const auto& c : columns)
            values.push_back(CellText(row, c, ""));
        result.push_back(values);
    }
    return result;
}

const char* const Ok = "<ResultCode>200</ResultCode>";

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
    EXPECT_NE(Send(IssueCardRequest({.checkIn = "2001-01-01 00:00:00"})).find(">200<"), std::string::npos);
    auto rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][0], "01080816");
    EXPECT_EQ(rooms[0][1].substr(0, 4) >= "2026", true) << rooms[0][1];
    EXPECT_NE(LogText().find(Gbk("新建房间01080816")), std::string::npos);

    // A copy reads the recorded start and changes nothing.
    std::string recorded = rooms[0][1];
    EXPECT_NE(Send(IssueCardRequest({.checkIn = "2001-01-01 00:00:00", .copy = true})).find(">200<"),
              std::string::npos);
    rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][1], recorded);
}

TEST_F(TDoorlockHostTest, FirstCopyForAnUnknownRoomRecordsTheClock) {
    StartHost("UseNativeDoorlockDb=1\r\nDelayMinutes=30\r\n");
    Send(IssueCardRequest({.room = "0901", .checkIn = "2001-01-01 00:00:00", .copy = true}));
    auto rooms =
        Query(DatabaseFile(), "select RoomNo, LastCheckInTime from T_Room", {"RoomNo", "LastCheckInTime"});
    ASSERT_EQ(rooms.size(), 1u);
    EXPECT_EQ(rooms[0][0], "01080901");
    EXPECT_GE(rooms[0][1], std::string("2026"));
}

TEST_F(TDoorlockHostTest, FailedIssueStillAddsItsRecordWithCardNumberZero) {
    StartHost("SaveDoorlockRecord=1\r\n", false); // no card on the encoder
    std::string response = Send(IssueCardRequest({.guest = "张三", .registerId = "R42"}));
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
                    std::string response = Send(IssueCardRequest());
                    ++issues;
                    if (response != Framed("<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
                                           "<ResultMessage>发卡成功</ResultMessage><CardNo>816123114</"
                                           "CardNo></DoorResponse>"))
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
        RegisterLinkedBackends();
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
        TStartLine start(kClients);
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, round, c] {
                const std::string id =
                    (c == kClients / 2 ? "refused-" : "R") + std::to_string(round) + "-" + std::to_string(c);
                start.ArriveAndWait();
                const std::string response = Send(IssueCardRequest({.guest = "G", .registerId = id}));
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
    std::string copy = IssueCardRequest({.room = "0820", .checkIn = "2001-01-01 00:00:00", .copy = true});
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

namespace {

// The start recorded on the issued-card row of each register id.
std::map<std::string, std::string> RowStarts(const std::string& database) {
    std::map<std::string, std::string> starts;
    for (const auto& row :
         Query(database, "select RegisterId, CardNo, LastCheckInTime from T_IssueCardRecord",
               {"RegisterId", "CardNo", "LastCheckInTime"}))
        starts[row[0] + " " + row[1]] = row[2];
    return starts;
}

std::string RoomStart(const std::string& database, const std::string& roomKey) {
    auto rows = Query(database, "select LastCheckInTime from T_Room where RoomNo='" + roomKey + "'",
                      {"LastCheckInTime"});
    return rows.size() == 1 ? rows[0][0] : "rows: " + std::to_string(rows.size());
}

std::string IntegrityCheck(const std::string& database) {
    return Query(database, "PRAGMA integrity_check", {"integrity_check"}).at(0).at(0);
}

} // namespace

TEST_F(TDoorlockHostTest, KilledInTheMiddleOfIssuesLosesNothingThatWasAnswered) {
    const std::string options = "SaveDoorlockRecord=1\r\nUseNativeDoorlockDb=1\r\n";
    StartHost(options);
    // One client per room, so that each room's last answered card is well defined.
    const std::vector<std::string> rooms = {"0816", "0817", "0818"};
    struct TClient {
        std::vector<std::string> answered; // "register card" of every 200
        bool inFlightAtKill = false;
    };
    std::vector<TClient> results(rooms.size());
    std::atomic<int> answered{0};
    std::atomic<bool> killed{false};
    std::vector<std::thread> clients;
    for (size_t c = 0; c < rooms.size(); ++c) {
        clients.emplace_back([&, c] {
            for (int n = 0; !killed; ++n) {
                const std::string registerId = "R" + rooms[c] + "-" + std::to_string(n);
                std::string response;
                try {
                    response = Send(IssueCardRequest({.room = rooms[c], .registerId = registerId}));
                } catch (const std::exception&) {
                }
                if (response.find("<ResultCode>200</ResultCode>") == std::string::npos) {
                    results[c].inFlightAtKill = true;
                    return;
                }
                results[c].answered.push_back(registerId + " " + CardNoOf(response));
                ++answered;
            }
        });
    }
    EXPECT_TRUE(WaitFor([&] { return answered >= 30; }, std::chrono::seconds(60)));
    m_host->Stop(SIGKILL);
    killed = true;
    for (auto& t : clients)
        t.join();

    // The restarted host opens the store after the crash and serves again.
    StartHost(options, false);
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find(">200<"), std::string::npos);
    EXPECT_EQ(StopHost(), 0);

    EXPECT_EQ(IntegrityCheck(DatabaseFile()), "ok");
    const auto rowStarts = RowStarts(DatabaseFile());
    for (size_t c = 0; c < rooms.size(); ++c) {
        ASSERT_FALSE(results[c].answered.empty()) << rooms[c];
        for (const std::string& card : results[c].answered)
            EXPECT_EQ(rowStarts.count(card), 1u) << card;
        const auto last = rowStarts.find(results[c].answered.back());
        ASSERT_NE(last, rowStarts.end());
        const std::string recorded = RoomStart(DatabaseFile(), "0108" + rooms[c]);
        // The card being issued at the kill may have been written and recorded without its answer.
        if (results[c].inFlightAtKill)
            EXPECT_GE(recorded, last->second) << rooms[c];
        else
            EXPECT_EQ(recorded, last->second) << rooms[c];
    }
}

// The database file taken away from the running host in two ways; the issues answered afterwards are all
// in Client.db when the host has stopped.
TEST_F(TDoorlockHostTest, DatabaseFileMadeReadOnlyOrDeletedWhileRunningKeepsEveryAnsweredRow) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows deletes no file a program holds open, and write permission is no lock there";
#endif
    enum class TFault { ReadOnly, Deleted };
    for (TFault fault : {TFault::ReadOnly, TFault::Deleted}) {
        SCOPED_TRACE(fault == TFault::ReadOnly ? "read-only" : "deleted");
        std::filesystem::remove(DatabaseFile());
        StartHost("SaveDoorlockRecord=1\r\nUseNativeDoorlockDb=1\r\n");
        const std::string card816 = "816123114";
        ASSERT_NE(Send(IssueCardRequest({.guest = "G"})).find(card816), std::string::npos);
        std::unique_ptr<TReadOnly> readOnly;
        if (fault == TFault::ReadOnly) {
            readOnly = std::make_unique<TReadOnly>(DatabaseFile());
            ASSERT_TRUE(readOnly->Made());
        } else {
            std::filesystem::remove(DatabaseFile());
        }
        for (const char* id : {"R2", "R3"}) {
            EXPECT_NE(Send(IssueCardRequest({.guest = "G", .registerId = id})).find(card816),
                      std::string::npos);
        }
        EXPECT_NE(Send(IssueCardRequest({.copy = true, .guest = "G", .registerId = "R4"})).find(card816),
                  std::string::npos);
        // Stopped while still read-only: rows the file could not take wait in its journal.
        EXPECT_EQ(StopHost(), 0);
        readOnly.reset();

        EXPECT_EQ(IntegrityCheck(DatabaseFile()), "ok");
        const auto rowStarts = RowStarts(DatabaseFile());
        for (const char* id : {"R2", "R3", "R4"})
            EXPECT_EQ(rowStarts.count(std::string(id) + " " + card816), 1u) << id;
        EXPECT_EQ(RoomStart(DatabaseFile(), "01080816"), rowStarts.at("R3 " + card816));
        EXPECT_EQ(rowStarts.at("R4 " + card816), rowStarts.at("R3 " + card816));
    }
}

// Guest names hold what the hotel system sent, character references included. The stored rows keep it; a
// terminal shows every control character, a spreadsheet never takes a field for a formula; the room number
// alone finds its rows in every building.
TEST_F(TDoorlockHostTest, RecordsLeaveForATerminalAndASpreadsheetHarmless) {
    StartHost("SaveDoorlockRecord=1\r\n");
    const struct {
        const char* Sent;  // in the request
        const char* Csv;   // the CSV field
        const char* Table; // in the CLI table
    } names[] = {
        {"=1+2", "'=1+2", "=1+2"},
        {"+1", "'+1", "+1"},
        {"-1", "'-1", "-1"},
        {"@SUM(A1)", "'@SUM(A1)", "@SUM(A1)"},
        {"&#9;=1", "'\t=1", "\\x09=1"},
        {"&#13;=1", "\"'\r=1\"", "\\x0d=1"},
        {"A&#27;[2JB", "A\x1b[2JB", "A\\x1b[2JB"},
        {"A\\x1b", "A\\x1b", "A\\\\x1b"},
        {"A&#127;Z", "A\x7fZ", "A\\x7fZ"},
        {"李=四", "李=四", "李=四"},
    };
    for (size_t i = 0; i < std::size(names); ++i) {
        ASSERT_NE(
            Send(IssueCardRequest({.guest = names[i].Sent, .registerId = "N" + std::to_string(i)})).find(Ok),
            std::string::npos)
            << names[i].Sent;
    }
    // The same room number in another building, and another room.
    std::string elsewhere = IssueCardRequest({.guest = "G", .registerId = "B2"});
    elsewhere.replace(elsewhere.find("<RoomBuildingCode>01"), 20, "<RoomBuildingCode>02");
    ASSERT_NE(Send(elsewhere).find(Ok), std::string::npos);
    ASSERT_NE(Send(IssueCardRequest({.room = "0817", .guest = "G", .registerId = "O1"})).find(Ok),
              std::string::npos);
    // Stored as received.
    auto stored = Query(DatabaseFile(), "select GuestName from T_IssueCardRecord where RegisterId = 'N6'",
                        {"GuestName"});
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "A\x1b[2JB");

    const std::string dir = m_sandbox.Path().string();
    const TCliRun csv = RunCli(m_port, {"records", "--dir", dir, "--room", "01080816", "--csv"});
    ASSERT_EQ(csv.status, 0);
    const TCliRun table = RunCli(m_port, {"records", "--dir", dir, "--room", "01080816"});
    ASSERT_EQ(table.status, 0);
    for (size_t i = 0; i < std::size(names); ++i) {
        const std::string id = "N" + std::to_string(i);
        EXPECT_NE(csv.raw.find(std::string(",") + names[i].Csv + "," + id + ","), std::string::npos) << id;
        EXPECT_NE(table.output.find(std::string(" ") + names[i].Table + " "), std::string::npos) << id;
    }
    EXPECT_EQ(table.output.find_first_of("\x1b\r\t\x7f"), std::string::npos);
    EXPECT_NE(table.output.find("共 10 条"), std::string::npos) << table.output;

    // The room number alone: both buildings, not the other room; three characters are neither.
    const TCliRun byNumber = RunCli(m_port, {"records", "--dir", dir, "--room", "0816"});
    EXPECT_NE(byNumber.output.find("02080816"), std::string::npos);
    EXPECT_EQ(byNumber.output.find("01080817"), std::string::npos);
    EXPECT_NE(byNumber.output.find("共 11 条"), std::string::npos) << byNumber.output;
    EXPECT_NE(RunCli(m_port, {"records", "--dir", dir, "--room", "816"}).output.find("共 0 条"),
              std::string::npos);

    // Each row names where its request came from: the client's address and port.
    const auto sources =
        Query(DatabaseFile(), "select RequestSource from T_IssueCardRecord", {"RequestSource"});
    ASSERT_EQ(sources.size(), std::size(names) + 2);
    for (const auto& source : sources)
        EXPECT_EQ(source[0].rfind("127.0.0.1:", 0), 0u) << source[0];
    EXPECT_NE(table.output.find(" 127.0.0.1:"), std::string::npos);
}

// A backup taken while issues go on: the copy passes its check and holds every row answered before it began;
// put back in place of Client.db while the host is stopped, the host starts on it and lists those rows.
TEST_F(TDoorlockHostTest, BackupDuringIssuesHoldsEveryRowAnsweredBeforeItAndRestores) {
    StartHost("SaveDoorlockRecord=1\r\n");
    std::mutex answeredLock;
    std::vector<std::string> answered;
    const auto answeredCount = [&] {
        std::lock_guard<std::mutex> guard(answeredLock);
        return answered.size();
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&, c] {
            for (int n = 0; !stop; ++n) {
                const std::string id = "B" + std::to_string(c) + "-" + std::to_string(n);
                const std::string response = Send(IssueCardRequest({.guest = "G", .registerId = id}));
                if (response.find(Ok) != std::string::npos) {
                    std::lock_guard<std::mutex> guard(answeredLock);
                    answered.push_back(id);
                }
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return answeredCount() >= 30; }, std::chrono::seconds(60)));
    std::vector<std::string> before;
    {
        std::lock_guard<std::mutex> guard(answeredLock);
        before = answered;
    }
    const std::string dir = m_sandbox.Path().string();
    const std::string dest = m_sandbox.File("backup");
    const TCliRun backup = RunCli(m_port, {"backup", "--dir", dir, dest});
    const size_t afterBackup = answeredCount();
    // The issues went on through it.
    EXPECT_TRUE(WaitFor([&] { return answeredCount() >= afterBackup + 10; }, std::chrono::seconds(60)));
    stop = true;
    for (auto& t : clients)
        t.join();

    ASSERT_EQ(backup.status, 0) << backup.errors;
    const size_t clientLine = backup.output.find("Client.db   ");
    ASSERT_EQ(clientLine, 0u) << backup.output;
    EXPECT_NE(backup.output.find(" bytes, integrity_check ok\nSpool.db    not present\nOption.ini  "),
              std::string::npos)
        << backup.output;
    EXPECT_NE(backup.output.find("backup written to " + dest + "\n"), std::string::npos) << backup.output;
    EXPECT_FALSE(std::filesystem::exists(dest + ".partial"));
#ifndef _WIN32
    EXPECT_EQ(std::filesystem::status(dest).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
#endif
    EXPECT_EQ(ReadFileBytes(dest + "/Option.ini"), ReadFileBytes(m_sandbox.File("Option.ini")));
    EXPECT_EQ(IntegrityCheck(dest + "/Client.db"), "ok");
    std::set<std::string> copied;
    for (const auto& row :
         Query(dest + "/Client.db", "select RegisterId from T_IssueCardRecord", {"RegisterId"}))
        copied.insert(row[0]);
    for (const std::string& id : before)
        EXPECT_EQ(copied.count(id), 1u) << id;

    // The restore: the host stopped, the copy in place of the database and its journal files.
    EXPECT_EQ(StopHost(), 0);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(DatabaseFile() + suffix);
    std::filesystem::copy_file(dest + "/Client.db", DatabaseFile());
    StartHost("SaveDoorlockRecord=1\r\n");
    const TCliRun records = RunCli(m_port, {"records", "--dir", dir, "--from", "2000-01-01 00:00:00"});
    EXPECT_NE(records.output.find("共 " + std::to_string(copied.size()) + " 条\n"), std::string::npos)
        << records.output;
    EXPECT_EQ(StopHost(), 0);
}

// Rows past RecordRetentionDays are dealt with once the host has started, in one line of the log; the list
// says from when rows are kept.
TEST_F(TDoorlockHostTest, OldRowsAreDeletedOrAnonymisedAtTheStartAndTheListSaysFromWhen) {
    const struct {
        const char* Mode;
        const char* Line;
        const char* Notice;
        const char* Left; // the register ids left, oldest first, "-" for one without
    } cases[] = {
        {"Delete", "记录保留 30 天：删除了 2 条发卡记录", "发卡记录保留 30 天（", "R3"},
        {"Anonymise", "记录保留 30 天：隐去了 2 条发卡记录的住客姓名和登记号",
         "发卡记录的住客姓名和登记号保留 30 天（", "--R3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mode);
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(DatabaseFile() + suffix);
        {
            TDoorlockRecordStore store("sqlite3", DatabaseFile());
            const TDateTime now = Now();
            for (const auto& [id, age] :
                 {std::pair{"R1", 40.0}, std::pair{"R2", 31.0}, std::pair{"R3", 29.0}})
                store.AddIssueCardRecord({.RegisterId = id,
                                          .CardNo = "1",
                                          .RoomNo = "01080816",
                                          .GuestName = "G",
                                          .OpratingTime = now - age});
        }
        StartHost("SaveDoorlockRecord=1\r\nRecordRetentionDays=30\r\nRecordRetention=" + std::string(c.Mode) +
                  "\r\n");
        EXPECT_TRUE(WaitFor([&] { return LogText().find(Gbk(c.Line)) != std::string::npos; }))
            << Utf8(LogText());
        std::string left;
        for (const auto& row :
             Query(DatabaseFile(), "select RegisterId from T_IssueCardRecord order by OpratingTime",
                   {"RegisterId"}))
            left += row[0].empty() ? "-" : row[0];
        EXPECT_EQ(left, c.Left);
        const TCliRun records = RunCli(m_port, {"records", "--dir", m_sandbox.Path().string()});
        EXPECT_EQ(records.status, 0);
        EXPECT_EQ(records.output.rfind(c.Notice + FormatDateTime("yyyy-mm-dd", Now() - 30) + " 起）\n", 0),
                  0u)
            << records.output;
        EXPECT_EQ(StopHost(), 0);
    }
}
