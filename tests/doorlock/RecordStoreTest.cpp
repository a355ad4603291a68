#include "RecordStoreFixture.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <functional>
#include <optional>

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

int RowCount(soci::session& raw, const std::string& table) {
    int count = 0;
    raw << "select count(*) from " + table, soci::into(count);
    return count;
}

} // namespace

TEST_F(TRecordStoreTest, MissingRoomReadsZeroAndAnAddedRoomReadsBackToTheSecond) {
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

TEST_F(TRecordStoreTest, SetInsertsAMissingRoomAndOnlyUpdatesAnExistingOne) {
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

TEST_F(TRecordStoreTest, DuplicateRoomRowsReadTheFirstAndAreAllUpdated) {
    auto store = OpenStore();
    auto raw = Raw();
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0101', '2024-01-01 10:00:00')";
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0101', '2024-01-02 11:00:00')";
    *raw << "insert into T_Room(RoomNo, LastCheckInTime) values('0102', '2024-01-03 12:00:00')";

    const std::string first = *StoredTimes(*raw, "0101").front();
    TDateTime firstValue = 0;
    ASSERT_TRUE(TryStrToDateTime(first, firstValue));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), firstValue);

    // The look-up must not keep its read snapshot once it has its row, or the WAL could never be folded
    // back into the database.
    int busy = -1, logFrames = 0, checkpointed = 0;
    *raw << "PRAGMA wal_checkpoint(TRUNCATE)", soci::into(busy), soci::into(logFrames),
        soci::into(checkpointed);
    EXPECT_EQ(busy, 0);

    store->SetLastCheckInTime("0101", At(2024, 6, 1, 9, 0, 0));
    EXPECT_THAT(StoredTimes(*raw, "0101"), ElementsAre("2024-06-01 09:00:00", "2024-06-01 09:00:00"));
    EXPECT_THAT(StoredTimes(*raw, "0102"), ElementsAre("2024-01-03 12:00:00"));
    EXPECT_THAT(LogMessages(), IsEmpty());
}

TEST_F(TRecordStoreTest, RoomKeysAreBoundNotPastedIntoTheStatement) {
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

TEST_F(TRecordStoreTest, TextIsStoredAsUtf8AndRoomKeysInTheCodePageFindTheirRows) {
    auto store = OpenStore();
    const std::string roomKey = Gbk("东楼0301");
    store->AddRoom(roomKey, At(2024, 7, 1, 15, 0, 0));
    store->AddIssueCardRecord(Gbk("登记1"), "0", roomKey, 1, 0, 0, 0, false, Gbk("张三"), 0);

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

TEST_F(TRecordStoreTest, IssueRecordsKeepAllTenColumns) {
    auto store = OpenStore();
    store->AddIssueCardRecord("R1", "305419896", "0101", 1, At(2024, 8, 1, 12, 0, 0),
                              At(2024, 8, 1, 11, 50, 0), At(2024, 8, 3, 12, 10, 0), true, "Guest",
                              At(2024, 8, 1, 12, 0, 1, 600));
    store->AddIssueCardRecord("", "0", "0102", 1, 0, 0, 0, false, "", At(2024, 8, 2, 0, 0, 0));
    EXPECT_THAT(LogMessages(), IsEmpty());

    auto raw = Raw();
    soci::rowset<soci::row> rows =
        (raw->prepare << "select RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, "
                         "CheckInTime, CheckOutTime, IsCopy, GuestName, OpratingTime "
                         "from T_IssueCardRecord order by RoomNo");
    // Every column as text, "NULL" for NULL.
    std::vector<std::vector<std::string>> table;
    for (const soci::row& row : rows) {
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row.get_indicator(i) == soci::i_null)
                cells.push_back("NULL");
            else if (row.get_properties(i).get_data_type() == soci::dt_integer)
                cells.push_back(std::to_string(row.get<int>(i)));
            else if (row.get_properties(i).get_data_type() == soci::dt_long_long)
                cells.push_back(std::to_string(row.get<long long>(i)));
            else
                cells.push_back(row.get<std::string>(i));
        }
        table.push_back(cells);
    }
    using Row = std::vector<std::string>;
    EXPECT_THAT(
        table,
        ElementsAre(Row{"R1", "305419896", "0101", "1", "2024-08-01 12:00:00", "2024-08-01 11:50:00",
                        "2024-08-03 12:10:00", "1", "Guest", "2024-08-01 12:00:02"},
                    Row{"", "0", "0102", "1", "NULL", "NULL", "NULL", "0", "", "2024-08-02 00:00:00"}));
}

TEST_F(TRecordStoreTest, StoredTimesReadBackWhateverFormTheyTake) {
    struct Case {
        const char* sqlValue;
        TDateTime expected;
        bool logged;
    };
    const Case cases[] = {
        {"NULL", 0, false},
        {"''", 0, false},
        {"'2024-05-06 07:08:09'", At(2024, 5, 6, 7, 8, 9), false},
        {"'2024-05-06T07:08:09.25'", At(2024, 5, 6, 7, 8, 9, 250), false},
        {"'2024-05-06'", At(2024, 5, 6, 0, 0, 0), false},
        {"'2024-02-30 07:08:09'", 0, true},
        {"'yesterday'", 0, true},
        {"45000.5", 0, true},
    };
    auto store = OpenStore();
    auto raw = Raw();
    std::size_t expectedLines = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sqlValue);
        *raw << "delete from T_Room";
        *raw << std::string("insert into T_Room(RoomNo, LastCheckInTime) values('0101', ") + c.sqlValue + ")";
        EXPECT_EQ(store->GetLastCheckInTime("0101"), c.expected);
        if (c.logged)
            ++expectedLines;
        EXPECT_THAT(LogMessages(), SizeIs(expectedLines));
    }
}

TEST_F(TRecordStoreTest, AFailedOpenIsLoggedAndTheNextOperationOpensAgain) {
    struct Case {
        const char* name;
        std::function<std::string(const TSandbox&)> breakIt; // returns the database path
        std::function<void(const std::string&)> repair;
        const char* message;
    };
    const Case cases[] = {
        {"missing directory", [](const TSandbox& box) { return box.File("missing") + "/Client.db"; },
         [](const std::string& path) {
             std::filesystem::create_directory(std::filesystem::path(path).parent_path());
         },
         "unable to open database file"},
        {"not a database",
         [](const TSandbox& box) {
             const std::string path = box.File("Broken.db");
             WriteFileBytes(path, std::string(4096, 'x'));
             return path;
         },
         [](const std::string& path) { std::filesystem::remove(path); }, "file is not a database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = LogMessages().size();
        const std::string path = c.breakIt(Sandbox());
        auto store = OpenStore(path);
        EXPECT_FALSE(store->IsOpen());

        EXPECT_EQ(store->GetLastCheckInTime("0101"), 0);
        store->SetLastCheckInTime("0101", At(2024, 1, 1, 0, 0, 0));
        store->AddRoom("0101", At(2024, 1, 1, 0, 0, 0));
        store->AddIssueCardRecord("R", "0", "0101", 1, 0, 0, 0, false, "", 0);
        std::vector<std::string> messages = LogMessages();
        ASSERT_THAT(messages, SizeIs(before + 5)); // the open and each operation's attempt to open again
        for (std::size_t i = before; i < messages.size(); ++i)
            EXPECT_THAT(messages[i], HasSubstr(c.message));

        c.repair(path);
        store->SetLastCheckInTime("0101", At(2024, 1, 1, 9, 0, 0));
        EXPECT_TRUE(store->IsOpen());
        EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 9, 0, 0));
        EXPECT_THAT(LogMessages(), SizeIs(before + 6));
        EXPECT_EQ(LogMessages().back(), NewRoom("0101"));
    }
}

TEST_F(TRecordStoreTest, MissingTablesAreCreatedAndExistingOnesKept) {
    {
        auto raw = Raw();
        *raw << "create table T_Room(RoomNo varchar(20), LastCheckInTime timestamp, Note varchar(20))";
        *raw << "insert into T_Room(RoomNo, LastCheckInTime, Note) values('0101', '2023-12-24 18:00:00', "
                "'kept')";
    }
    auto store = OpenStore();
    EXPECT_TRUE(store->IsOpen());
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2023, 12, 24, 18, 0, 0));
    store->AddIssueCardRecord("R1", "1", "0101", 1, 0, 0, 0, false, "", 0);
    EXPECT_THAT(LogMessages(), IsEmpty());

    auto raw = Raw();
    std::string note, journalMode;
    *raw << "select Note from T_Room", soci::into(note);
    EXPECT_EQ(note, "kept");
    EXPECT_EQ(RowCount(*raw, "T_IssueCardRecord"), 1);
    *raw << "PRAGMA journal_mode", soci::into(journalMode);
    EXPECT_EQ(journalMode, "wal");
    // Look-ups and updates find rooms through an index, also in a database made elsewhere.
    int indexes = 0;
    *raw << "select count(*) from sqlite_master where type='index' and tbl_name='T_Room'",
        soci::into(indexes);
    EXPECT_EQ(indexes, 1);
}

TEST_F(TRecordStoreTest, AFailingStatementIsLoggedAndPreparedAgainOnceTheTableIsFixed) {
    {
        auto raw = Raw();
        *raw << "create table T_Room(RoomNo varchar(20))";
    }
    auto store = OpenStore();
    EXPECT_TRUE(store->IsOpen());

    EXPECT_EQ(store->GetLastCheckInTime("0101"), 0);
    store->SetLastCheckInTime("0101", At(2024, 1, 1, 0, 0, 0));
    // The other table is still usable.
    store->AddIssueCardRecord("R1", "1", "0101", 1, 0, 0, 0, false, "", 0);
    std::vector<std::string> messages = LogMessages();
    // One line each for the look-up and the update; no insert after the failed update.
    ASSERT_THAT(messages, SizeIs(2));
    EXPECT_THAT(messages[0], HasSubstr("LastCheckInTime"));
    EXPECT_THAT(messages[1], HasSubstr("LastCheckInTime"));

    {
        auto raw = Raw();
        *raw << "alter table T_Room add column LastCheckInTime timestamp";
    }
    store->SetLastCheckInTime("0101", At(2024, 1, 1, 8, 0, 0));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 8, 0, 0));
    EXPECT_THAT(LogMessages(), SizeIs(3));
    EXPECT_EQ(LogMessages().back(), NewRoom("0101"));
}

TEST_F(TRecordStoreTest, ADatabasePathWithBlanksWorks) {
    const std::string directory = Sandbox().File("front desk");
    std::filesystem::create_directory(directory);
    auto store = OpenStore(directory + "/Client  db.db");
    store->AddRoom("0101", At(2024, 1, 1, 8, 0, 0));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), At(2024, 1, 1, 8, 0, 0));
    EXPECT_TRUE(std::filesystem::exists(directory + "/Client  db.db"));
}
