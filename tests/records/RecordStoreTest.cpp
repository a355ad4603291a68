#include "support/RecordStoreFixture.h"
#include "support/RecordTestSupport.h"

#include "records/DoorlockRecordQueryUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"

#include <gmock/gmock.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

TDateTime At(int year, int month, int day, int hour, int minute, int second, int millisecond = 0) {
    return EncodeDateTime(year, month, day, hour, minute, second, millisecond);
}

std::string NewRoom(const std::string& roomKey) {
    return Gbk("新建房间") + roomKey;
}

// The stored text of a room's time, or nullopt for NULL; one entry per row in the database's order.
std::vector<std::optional<std::string>> StoredTimes(soci::session& raw, const std::string& utf8RoomKey) {
    std::vector<std::optional<std::string>> times;
    std::string text;
    soci::indicator indicator = soci::i_ok;
    soci::statement query = (raw.prepare << "select LastCheckInTime from T_Room where RoomNo=:RoomNo",
                             soci::into(text, indicator), soci::use(utf8RoomKey, "RoomNo"));
    query.execute();
    while (query.fetch())
        times.push_back(indicator == soci::i_null ? std::nullopt : std::optional<std::string>(text));
    return times;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

TEST_P(TRecordStoreTest, MissingRoomReadsZeroAndAnAddedRoomReadsBackToTheSecond) {
    struct Case {
        TDateTime written;
        const char* storedText;
        TDateTime readBack;
    };
    const Case cases[] = {
        {At(2024, 2, 29, 14, 0, 0), "2024-02-29 14:00:00", At(2024, 2, 29, 14, 0, 0)},
        {At(2024, 3, 1, 8, 30, 15, 499), "2024-03-01 08:30:15", At(2024, 3, 1, 8, 30, 15)},
        {At(2024, 3, 1, 8, 30, 15, 500), "2024-03-01 08:30:16", At(2024, 3, 1, 8, 30, 16)},
        {At(1999, 12, 31, 23, 59, 59, 700), "2000-01-01 00:00:00", At(2000, 1, 1, 0, 0, 0)},
        {At(2024, 1, 31, 23, 59, 59, 999), "2024-02-01 00:00:00", At(2024, 2, 1, 0, 0, 0)},
    };
    auto store = OpenStore();
    auto raw = Raw();
    std::vector<std::string> expectedLog;
    int room = 0;
    for (const Case& c : cases) {
        const std::string key = "A1" + std::to_string(++room);
        SCOPED_TRACE(key);
        EXPECT_EQ(store->GetLastCheckInTime(key), 0);
        store->AddRoom(key, c.written);
        expectedLog.push_back(NewRoom(key));
        EXPECT_EQ(store->GetLastCheckInTime(key), c.readBack);
        EXPECT_THAT(StoredTimes(*raw, key), ElementsAre(std::optional<std::string>(c.storedText)));
    }
    EXPECT_EQ(LogMessages(), expectedLog);
}

TEST_P(TRecordStoreTest, SetInsertsAMissingRoomAndOnlyUpdatesAnExistingOne) {
    auto store = OpenStore();
    store->SetLastCheckInTime("0305", At(2024, 5, 1, 12, 0, 0));
    EXPECT_THAT(LogMessages(), ElementsAre(NewRoom("0305")));
    store->SetLastCheckInTime("0305", At(2024, 5, 2, 13, 30, 0));
    EXPECT_THAT(LogMessages(), SizeIs(1));
    EXPECT_EQ(store->GetLastCheckInTime("0305"), At(2024, 5, 2, 13, 30, 0));

    auto raw = Raw();
    EXPECT_EQ(RowCount(*raw, "T_Room"), 1);
    // 0 clears the time: NULL, which reads as 0 again.
    store->SetLastCheckInTime("0305", 0);
    EXPECT_THAT(StoredTimes(*raw, "0305"), ElementsAre(std::nullopt));
    EXPECT_EQ(store->GetLastCheckInTime("0305"), 0);
    EXPECT_THAT(LogMessages(), SizeIs(1));
}

TEST_P(TRecordStoreTest, DuplicateRoomRowsReadTheFirstAndAreAllUpdated) {
    auto store = OpenStore();
    auto raw = Raw();
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0101', '2024-01-01 10:00:00')";
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0101', '2024-01-02 11:00:00')";
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0102', '2024-01-03 12:00:00')";

    const std::string first = *StoredTimes(*raw, "0101").front();
    TDateTime firstValue = 0;
    ASSERT_TRUE(TryStrToDateTime(first, firstValue));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), firstValue);

    if (!OnPostgres()) {
        // The look-up must not keep its read snapshot once it has its row, or the WAL could never be folded
        // back into the database.
        int busy = -1, logFrames = 0, checkpointed = 0;
        *raw << "PRAGMA wal_checkpoint(TRUNCATE)", soci::into(busy), soci::into(logFrames),
            soci::into(checkpointed);
        EXPECT_EQ(busy, 0);
    }

    store->SetLastCheckInTime("0101", At(2024, 6, 1, 9, 0, 0));
    EXPECT_THAT(StoredTimes(*raw, "0101"), ElementsAre("2024-06-01 09:00:00", "2024-06-01 09:00:00"));
    EXPECT_THAT(StoredTimes(*raw, "0102"), ElementsAre("2024-01-03 12:00:00"));
    EXPECT_THAT(LogMessages(), IsEmpty());
}

TEST_P(TRecordStoreTest, RoomKeysAreBoundNotPastedIntoTheStatement) {
    auto store = OpenStore();
    store->AddRoom("0101", At(2024, 1, 1, 10, 0, 0));
    const std::string keys[] = {"01'02", "x' or '1'='1", "'; drop table T_Room; --"};
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(store->GetLastCheckInTime(key), 0);
        store->SetLastCheckInTime(key, At(2024, 2, 2, 2, 2, 2));
        EXPECT_EQ(store->GetLastCheckInTime(key), At(2024, 2, 2, 2, 2, 2));
    }
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 10, 0, 0));
    EXPECT_THAT(LogMessages(),
                ElementsAre(NewRoom("0101"), NewRoom(keys[0]), NewRoom(keys[1]), NewRoom(keys[2])));
}

TEST_P(TRecordStoreTest, TextIsStoredAsUtf8AndRoomKeysInTheCodePageFindTheirRows) {
    auto store = OpenStore();
    const std::string roomKey = Gbk("东楼0301");
    store->AddRoom(roomKey, At(2024, 7, 1, 15, 0, 0));
    store->AddIssueCardRecord(
        {.RegisterId = Gbk("登记1"), .CardNo = "0", .RoomNo = roomKey, .GuestName = Gbk("张三")});

    EXPECT_EQ(store->GetLastCheckInTime(roomKey), At(2024, 7, 1, 15, 0, 0));
    EXPECT_THAT(LogMessages(), ElementsAre(NewRoom(roomKey)));

    auto raw = Raw();
    EXPECT_THAT(StoredTimes(*raw, "东楼0301"), SizeIs(1));
    std::string registerId, recordRoom, guestName;
    *raw << "select RegisterId, RoomNo, GuestName from T_IssueCardRecord", soci::into(registerId),
        soci::into(recordRoom), soci::into(guestName);
    EXPECT_EQ(registerId, "登记1");
    EXPECT_EQ(recordRoom, "东楼0301");
    EXPECT_EQ(guestName, "张三");
}

TEST_P(TRecordStoreTest, IssueRecordsKeepEveryColumn) {
    auto store = OpenStore();
    store->AddIssueCardRecord({.RegisterId = "R1",
                               .CardNo = "305419896",
                               .RoomNo = "0101",
                               .LastCheckInTime = At(2024, 8, 1, 12, 0, 0),
                               .CheckInTime = At(2024, 8, 1, 11, 50, 0),
                               .CheckOutTime = At(2024, 8, 3, 12, 10, 0),
                               .IsCopy = true,
                               .GuestName = "Guest",
                               .OpratingTime = At(2024, 8, 1, 12, 0, 1, 600),
                               .Source = Gbk("127.0.0.1:50000 [CN=前台]")});
    store->AddIssueCardRecord({.CardNo = "0", .RoomNo = "0102", .OpratingTime = At(2024, 8, 2, 0, 0, 0)});
    EXPECT_THAT(LogMessages(), IsEmpty());

    auto raw = Raw();
    soci::rowset<soci::row> rows =
        (raw->prepare << "select RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, "
                         "CheckInTime, CheckOutTime, IsCopy, GuestName, OpratingTime, RequestSource "
                         "from T_IssueCardRecord order by RoomNo");
    // Every column as text, "NULL" for NULL.
    std::vector<std::vector<std::string>> table;
    for (const soci::row& row : rows) {
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < row.size(); ++i)
            cells.push_back(CellText(row, i));
        table.push_back(cells);
    }
    using Row = std::vector<std::string>;
    EXPECT_THAT(table, ElementsAre(Row{"R1", "305419896", "0101", "1", "2024-08-01 12:00:00",
                                       "2024-08-01 11:50:00", "2024-08-03 12:10:00", "1", "Guest",
                                       "2024-08-01 12:00:02", "127.0.0.1:50000 [CN=前台]"},
                                   Row{"", "0", "0102", "1", "NULL", "NULL", "NULL", "0", "",
                                       "2024-08-02 00:00:00", ""}));
}

TEST_P(TRecordStoreTest, ATableOfAnEarlierVersionGetsTheSourceColumnAndKeepsItsRows) {
    {
        auto raw = Raw();
        *raw << "CREATE TABLE T_IssueCardRecord(RegisterId TEXT, CardNo TEXT, RoomNo TEXT, CardType INTEGER, "
                "LastCheckInTime TIMESTAMP, CheckInTime TIMESTAMP, CheckOutTime TIMESTAMP, IsCopy INTEGER, "
                "GuestName TEXT, OpratingTime TIMESTAMP)";
        *raw << "insert into T_IssueCardRecord(RoomNo, GuestName, OpratingTime) values('01080816', 'Old', "
                "'2026-12-29 10:00:00')";
        // Read before the store has opened it: the old row, without a source.
        TDoorlockRecordQuery query(TRecordStoreTarget{Backend(), Target()});
        const TIssueCardRecordPage page = query.FirstRows({}, 10);
        ASSERT_THAT(page.Rows, SizeIs(1));
        EXPECT_EQ(page.Rows[0].GuestName, "Old");
        EXPECT_EQ(page.Rows[0].Source, "");
    }
    // Opened twice: the second open finds the column there and leaves it.
    OpenStore();
    auto store = OpenStore();
    store->AddIssueCardRecord({.RoomNo = "01080816",
                               .GuestName = "New",
                               .OpratingTime = At(2026, 12, 29, 11, 0, 0),
                               .Source = Gbk("本机操作员")});
    EXPECT_THAT(LogMessages(), IsEmpty());
    TDoorlockRecordQuery query(TRecordStoreTarget{Backend(), Target()});
    std::vector<std::string> shown;
    query.ForEach({},
                  [&](const TIssueCardRecordRow& row) { shown.push_back(row.GuestName + "/" + row.Source); });
    EXPECT_THAT(shown, ElementsAre("New/" + Gbk("本机操作员"), "Old/"));
}

TEST_P(TRecordStoreTest, TheRecordListFiltersByRoomAndTimeNewestFirst) {
    auto store = OpenStore();
    const struct {
        const char* Room;
        TDateTime At;
        const char* Guest;
    } rows[] = {
        {"01080816", At(2026, 12, 29, 10, 0, 0), "A"}, {"01080817", At(2026, 12, 29, 11, 0, 0), "B"},
        {"01080816", At(2026, 12, 29, 12, 0, 0), "C"}, {"01080816", At(2026, 12, 30, 9, 0, 0), "D"},
        {"东楼0301", At(2026, 12, 29, 13, 0, 0), "E"},
    };
    for (const auto& row : rows)
        store->AddIssueCardRecord({.RegisterId = "R",
                                   .CardNo = "816123114",
                                   .RoomNo = Gbk(row.Room),
                                   .LastCheckInTime = At(2026, 12, 29, 9, 0, 0),
                                   .CheckOutTime = At(2026, 12, 31, 14, 30, 0),
                                   .GuestName = Gbk(row.Guest),
                                   .OpratingTime = row.At});
    store->AddIssueCardRecord({.RegisterId = Gbk("登记1"),
                               .CardNo = "0",
                               .RoomNo = "01080818",
                               .LastCheckInTime = At(2026, 12, 28, 8, 0, 0),
                               .CheckInTime = At(2026, 12, 28, 8, 0, 0),
                               .IsCopy = true,
                               .GuestName = Gbk("张三"),
                               .OpratingTime = At(2026, 12, 28, 8, 0, 1, 600)});

    // A writer in the middle of its transaction must neither block the list nor show in it.
    auto writer = Raw();
    writer->begin();
    *writer << "insert into T_IssueCardRecord(RoomNo, GuestName, OpratingTime) values('01080816', 'X', "
               "'2026-12-29 11:30:00')";

    TDoorlockRecordQuery query(TRecordStoreTarget{Backend(), Target()});
    const struct {
        const char* Room;
        TDateTime From, To;
        int64_t Limit;
        const char* Guests;
        int64_t Total;
    } cases[] = {
        {"", 0, 0, 100, "DECBA张三", 6},
        {"01080816", At(2026, 12, 29, 0, 0, 0), At(2026, 12, 29, 23, 59, 59), 100, "CA", 2},
        // Both bounds belong to the range.
        {"", At(2026, 12, 29, 11, 0, 0), At(2026, 12, 29, 12, 0, 0), 100, "CB", 2},
        {"", 0, At(2026, 12, 29, 10, 0, 0), 100, "A张三", 2},
        {"01080816", 0, 0, 1, "D", 3},
        {"东楼0301", 0, 0, 100, "E", 1},
        // Four characters are the room number alone, in every building and on every floor.
        {"0816", 0, 0, 100, "DCA", 3},
        {"0816", At(2026, 12, 29, 0, 0, 0), At(2026, 12, 29, 23, 59, 59), 100, "CA", 2},
        {"0301", 0, 0, 100, "E", 1},
        // Anything else is a whole key.
        {"816", 0, 0, 100, "", 0},
        {"080816", 0, 0, 100, "", 0},
        {"' or ''='", 0, 0, 100, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Room) + " " + c.Guests);
        const TIssueCardRecordPage page = query.FirstRows({Gbk(c.Room), c.From, c.To}, c.Limit);
        std::string guests;
        for (const TIssueCardRecordRow& row : page.Rows)
            guests += row.GuestName;
        EXPECT_EQ(guests, Gbk(c.Guests));
        EXPECT_EQ(page.Total, c.Total);
    }
    writer->rollback();

    // Every field of a row as it was stored, the operation time rounded to the second as the store keeps it.
    std::vector<TIssueCardRecordRow> all;
    query.ForEach({}, [&](const TIssueCardRecordRow& row) { all.push_back(row); });
    ASSERT_THAT(all, SizeIs(6));
    const TIssueCardRecordRow& last = all.back();
    EXPECT_EQ(last.OpratingTime, "2026-12-28 08:00:02");
    EXPECT_EQ(last.RoomNo, "01080818");
    EXPECT_EQ(last.CardNo, "0");
    EXPECT_TRUE(last.IsCopy);
    EXPECT_EQ(last.LastCheckInTime, "2026-12-28 08:00:00");
    EXPECT_EQ(last.CheckOutTime, "");
    EXPECT_EQ(last.GuestName, Gbk("张三"));
    EXPECT_EQ(last.RegisterId, Gbk("登记1"));
    // A failed issue is stored with card number 0; the list and the export name its result.
    EXPECT_EQ(IssueResultText(last), Gbk("失败"));
    EXPECT_EQ(IssueResultText(all.front()), Gbk("成功"));
    EXPECT_THAT(LogMessages(), IsEmpty());
}

TEST_P(TSqliteRecordStoreTest, TheRecordListNeverCreatesOrChangesTheFile) {
    EXPECT_THROW(TDoorlockRecordQuery query(TRecordStoreTarget{Backend(), DbPath()}), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(DbPath()));

    OpenStore()->AddIssueCardRecord(
        {.RegisterId = "R", .CardNo = "1", .RoomNo = "0101", .OpratingTime = At(2026, 1, 1, 0, 0, 0)});
    const auto written = std::filesystem::last_write_time(DbPath());
    const std::string bytes = ReadFileBytes(DbPath());
    TDoorlockRecordQuery query(TRecordStoreTarget{Backend(), DbPath()});
    EXPECT_EQ(query.FirstRows({}, 10).Total, 1);
    EXPECT_EQ(ReadFileBytes(DbPath()), bytes);
    EXPECT_EQ(std::filesystem::last_write_time(DbPath()), written);
}

TEST_P(TRecordStoreTest, StoredTimesReadBackWhateverFormTheyTake) {
    struct Case {
        const char* sqlValue;
        std::optional<TDateTime> expected; // nullopt: the look-up failed
        bool logged;
        bool textColumn; // only a column without a type takes it
    };
    const Case cases[] = {
        {"NULL", 0, false, false},
        {"''", 0, false, true},
        {"'2024-05-06 07:08:09'", At(2024, 5, 6, 7, 8, 9), false, false},
        {"'2024-05-06T07:08:09.25'", At(2024, 5, 6, 7, 8, 9, 250), false, false},
        {"'2024-05-06'", At(2024, 5, 6, 0, 0, 0), false, false},
        {"'2024-05-06 07:08:09.123456'", At(2024, 5, 6, 7, 8, 9, 123), false, false},
        {"'2024-02-30 07:08:09'", std::nullopt, true, true},
        {"'yesterday'", std::nullopt, true, true},
        {"45000.5", std::nullopt, true, true},
    };
    auto store = OpenStore();
    auto raw = Raw();
    std::size_t expectedLines = 0;
    for (const Case& c : cases) {
        if (c.textColumn && OnPostgres())
            continue;
        SCOPED_TRACE(c.sqlValue);
        *raw << "delete from T_Room";
        *raw << std::string("insert into T_Room(RoomNo, LastCheckInTime) values('0101', ") + c.sqlValue + ")";
        EXPECT_EQ(store->GetLastCheckInTime("0101"), c.expected);
        if (c.logged)
            ++expectedLines;
        EXPECT_THAT(LogMessages(), SizeIs(expectedLines));
    }
}

TEST_P(TRecordStoreTest, AFailedOpenIsLoggedAndTheNextOperationOpensAgain) {
    const std::string missingDb = "doorlock_missing_" + std::to_string(std::random_device()());
    auto onServer = [&](const std::string& sql) {
        soci::session admin("postgresql", ParsePostgresConninfo(TPostgresSchema::ServerUri()).KeywordForm);
        admin << sql;
    };
    struct Case {
        TStoreKind kind;
        const char* name;
        std::function<std::string()> breakIt; // returns what the store connects to
        std::function<void(const std::string&)> repair;
        const char* message;
        std::function<void()> cleanUp;
    };
    const Case cases[] = {
        {TStoreKind::Sqlite, "missing directory", [&] { return Sandbox().File("missing") + "/Client.db"; },
         [](const std::string& path) {
             std::filesystem::create_directory(std::filesystem::path(path).parent_path());
         },
         "unable to open database file", [] {}},
        {TStoreKind::Sqlite, "not a database",
         [&] {
             const std::string path = Sandbox().File("Broken.db");
             WriteFileBytes(path, std::string(4096, 'x'));
             return path;
         },
         [](const std::string& path) { std::filesystem::remove(path); }, "file is not a database", [] {}},
        {TStoreKind::Postgres, "missing database",
         [&] {
             const std::string server = TPostgresSchema::ServerUri();
             return server.substr(0, server.rfind('/') + 1) + missingDb;
         },
         [&](const std::string&) { onServer("CREATE DATABASE " + missingDb); }, "does not exist",
         [&] { onServer("DROP DATABASE " + missingDb); }},
    };
    for (const Case& c : cases) {
        if (c.kind != GetParam())
            continue;
        SCOPED_TRACE(c.name);
        const std::size_t before = LogMessages().size();
        const std::string path = c.breakIt();
        auto store = std::make_unique<TDoorlockRecordStore>(Backend(), path);
        // Every operation tries again, not only the first after a back-off.
        store->SetConnectBackoff(std::chrono::milliseconds(0));
        store->OpenDatabase();
        EXPECT_FALSE(store->IsOpen());
        // A server out of reach keeps the issue row until it answers again.
        const bool held = c.kind == TStoreKind::Postgres;

        EXPECT_EQ(store->GetLastCheckInTime("0101"), std::nullopt);
        store->SetLastCheckInTime("0101", At(2024, 1, 1, 0, 0, 0));
        store->AddRoom("0101", At(2024, 1, 1, 0, 0, 0));
        store->AddIssueCardRecord({.RegisterId = "R", .CardNo = "0", .RoomNo = "0101"});
        std::vector<std::string> messages = LogMessages();
        // The open and each operation's attempt to open again.
        ASSERT_THAT(messages, SizeIs(before + 5 + (held ? 1 : 0)));
        for (std::size_t i = before; i < before + 5; ++i)
            EXPECT_THAT(messages[i], HasSubstr(c.message));
        if (held) {
            EXPECT_EQ(messages.back(), Gbk("发卡记录暂存，数据库恢复后保存: 卡号0, 房间0101"));
        }

        c.repair(path);
        store->SetLastCheckInTime("0101", At(2024, 1, 1, 9, 0, 0));
        EXPECT_TRUE(store->IsOpen());
        EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 9, 0, 0));
        messages = LogMessages();
        ASSERT_THAT(messages, SizeIs(before + 6 + (held ? 2 : 0)));
        EXPECT_EQ(messages.back(), NewRoom("0101"));
        if (held) {
            EXPECT_EQ(messages[messages.size() - 2], Gbk("数据库恢复，已保存暂存的发卡记录1条"));
        }
        store.reset();
        c.cleanUp();
    }
}

TEST_P(TRecordStoreTest, MissingTablesAreCreatedAndExistingOnesKept) {
    {
        auto raw = Raw();
        *raw << "create table T_Room(RoomNo varchar(20), LastCheckInTime timestamp, Note varchar(20))";
        *raw << "insert into T_Room(RoomNo, LastCheckInTime, Note) values('0101', '2023-12-24 18:00:00', "
                "'kept')";
    }
    auto store = OpenStore();
    EXPECT_TRUE(store->IsOpen());
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2023, 12, 24, 18, 0, 0));
    store->AddIssueCardRecord({.RegisterId = "R1", .CardNo = "1", .RoomNo = "0101"});
    EXPECT_THAT(LogMessages(), IsEmpty());

    auto raw = Raw();
    std::string note, journalMode;
    *raw << "select Note from T_Room", soci::into(note);
    EXPECT_EQ(note, "kept");
    EXPECT_EQ(RowCount(*raw, "T_IssueCardRecord"), 1);
    int indexes = 0;
    int recordIndexes = 0;
    if (OnPostgres()) {
        // Look-ups and updates find rooms through an index, also in a database made elsewhere.
        *raw
            << "select count(*) from pg_indexes where schemaname = current_schema() and tablename = 't_room'",
            soci::into(indexes);
        *raw << "select count(*) from pg_indexes where schemaname = current_schema() and "
                "tablename = 't_issuecardrecord'",
            soci::into(recordIndexes);
        // The server keeps times and numbers as such, so other programs can sort and compare them.
        std::vector<std::string> types;
        soci::rowset<soci::row> columns =
            (raw->prepare << "select column_name, data_type from information_schema.columns where "
                             "table_schema = current_schema() and table_name = 't_issuecardrecord' "
                             "order by ordinal_position");
        for (const soci::row& column : columns)
            types.push_back(column.get<std::string>(0) + " " + column.get<std::string>(1));
        const std::string time = " timestamp without time zone";
        EXPECT_THAT(types, ElementsAre("registerid text", "cardno text", "roomno text", "cardtype integer",
                                       "lastcheckintime" + time, "checkintime" + time, "checkouttime" + time,
                                       "iscopy integer", "guestname text", "opratingtime" + time,
                                       "requestsource text"));
    } else {
        *raw << "PRAGMA journal_mode", soci::into(journalMode);
        EXPECT_EQ(journalMode, "wal");
        *raw << "select count(*) from sqlite_master where type='index' and tbl_name='T_Room'",
            soci::into(indexes);
        *raw << "select count(*) from sqlite_master where type='index' and tbl_name='T_IssueCardRecord'",
            soci::into(recordIndexes);
    }
    EXPECT_EQ(indexes, 1);
    // The list's: by room key, by room number, by time.
    EXPECT_EQ(recordIndexes, 3);
}

TEST_P(TRecordStoreTest, AFailingStatementIsLoggedAndPreparedAgainOnceTheTableIsFixed) {
    {
        auto raw = Raw();
        *raw << "create table T_Room(RoomNo varchar(20))";
    }
    auto store = OpenStore();
    EXPECT_TRUE(store->IsOpen());

    EXPECT_EQ(store->GetLastCheckInTime("0101"), std::nullopt);
    store->SetLastCheckInTime("0101", At(2024, 1, 1, 0, 0, 0));
    // The other table is still usable.
    store->AddIssueCardRecord({.RegisterId = "R1", .CardNo = "1", .RoomNo = "0101"});
    std::vector<std::string> messages = LogMessages();
    // One line each for the look-up and the update; no insert after the failed update.
    ASSERT_THAT(messages, SizeIs(2));
    EXPECT_THAT(Lower(messages[0]), HasSubstr("lastcheckintime"));
    EXPECT_THAT(Lower(messages[1]), HasSubstr("lastcheckintime"));

    {
        auto raw = Raw();
        *raw << "alter table T_Room add column LastCheckInTime timestamp";
    }
    store->SetLastCheckInTime("0101", At(2024, 1, 1, 8, 0, 0));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 8, 0, 0));
    EXPECT_THAT(LogMessages(), SizeIs(3));
    EXPECT_EQ(LogMessages().back(), NewRoom("0101"));
}

TEST_P(TSqliteRecordStoreTest, ADatabasePathWithBlanksWorks) {
    const std::string directory = Sandbox().File("front desk");
    std::filesystem::create_directory(directory);
    auto store = OpenStore(directory + "/Client  db.db");
    store->AddRoom("0101", At(2024, 1, 1, 8, 0, 0));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 8, 0, 0));
    EXPECT_TRUE(std::filesystem::exists(directory + "/Client  db.db"));
}

INSTANTIATE_TEST_SUITE_P(Stores, TRecordStoreTest,
                         ::testing::Values(TStoreKind::Sqlite, TStoreKind::Postgres), StoreKindName);
INSTANTIATE_TEST_SUITE_P(Stores, TSqliteRecordStoreTest, ::testing::Values(TStoreKind::Sqlite),
                         StoreKindName);

// Desks that start together on a fresh database set up the tables without an error between them.
TEST_P(TPostgresRecordStoreTest, StoresOpeningAtOnceOnAFreshDatabaseSetItUpWithoutAnError) {
    constexpr int Desks = 4;
    for (int round = 0; round < 5; ++round) {
        std::vector<std::unique_ptr<TDoorlockRecordStore>> stores;
        for (int i = 0; i < Desks; ++i)
            stores.push_back(std::make_unique<TDoorlockRecordStore>(Backend(), Target()));
        TStartLine start(Desks);
        std::vector<std::thread> desks;
        for (auto& store : stores)
            desks.emplace_back([&start, &store] {
                start.ArriveAndWait();
                store->OpenDatabase();
            });
        for (std::thread& desk : desks)
            desk.join();
        for (auto& store : stores)
            EXPECT_TRUE(store->IsOpen());
        stores.clear();
        ASSERT_THAT(LogMessages(), IsEmpty()) << "round " << round;
        *Raw() << "DROP TABLE T_Room, T_IssueCardRecord";
    }
}

// Every form of the settings reaches the test server: a plain URI (which SOCI alone passes on wrongly), a
// URI with a query, and keyword=value text.
TEST_P(TPostgresRecordStoreTest, SettingsInEveryFormReachTheServer) {
    const std::string uri = TPostgresSchema::ServerUri();
    const std::string hostPort = uri.substr(uri.find('@') + 1, uri.rfind('/') - uri.find('@') - 1);
    const std::string host = hostPort.substr(0, hostPort.rfind(':'));
    const std::string port = hostPort.substr(hostPort.rfind(':') + 1);
    // A database of this test's own: a plain URI names no schema.
    const std::string db = "doorlock_forms_" + std::to_string(std::random_device()());
    soci::session admin("postgresql", ParsePostgresConninfo(uri).KeywordForm);
    admin << "CREATE DATABASE " + db;
    const std::string forms[] = {
        "postgresql://postgres@" + hostPort + "/" + db,
        "postgresql://postgres@" + hostPort + "/" + db + "?sslmode=disable&application_name=desk%20A",
        "host=" + host + " port=" + port + " user=postgres dbname=" + db,
        "postgresql://postgres:s3cret@" + hostPort + "/" + db,
    };
    for (const std::string& form : forms) {
        SCOPED_TRACE(form);
        auto store = OpenStore(form);
        EXPECT_TRUE(store->IsOpen());
        store->SetLastCheckInTime("0101", At(2024, 1, 1, 8, 0, 0));
        EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 8, 0, 0));
    }
    {
        soci::session inDb("postgresql", ParsePostgresConninfo(forms[2]).KeywordForm);
        EXPECT_EQ(RowCount(inDb, "T_Room"), 1);
    }
    admin << "DROP DATABASE " + db;
    for (const std::string& message : LogMessages())
        EXPECT_THAT(message, ::testing::Not(HasSubstr("s3cret")));
}
