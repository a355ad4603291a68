#include "support/RecordStoreFixture.h"
#include "support/RecordTestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>

// Connection threads and the test dialog share the one store. Each thread works its own rooms, and in every
// round a room that all threads share: the update-or-insert of a room has to be one step, or two threads both
// insert it.
TEST_P(TRecordStoreTest, ConcurrentOperationsLeaveExactlyTheExpectedRows) {
    constexpr int ThreadCount = 8;
    constexpr int OperationsPerThread = 200; // in rounds of four
    constexpr int RoomsPerThread = 5;
    auto store = OpenStore();
    const TDateTime base = EncodeDateTime(2024, 9, 1, 0, 0, 0);
    std::atomic<int> wrongReads{0};

    auto work = [&](int thread) {
        for (int round = 0; round < OperationsPerThread / 4; ++round) {
            const std::string room = std::to_string(thread) + "-" + std::to_string(round % RoomsPerThread);
            const TDateTime time = IncMinutes(base, thread * 1000 + round);
            store->SetLastCheckInTime(room, time);
            if (store->GetLastCheckInTime(room) != time)
                ++wrongReads;
            store->SetLastCheckInTime("shared-" + std::to_string(round), time);
            store->AddIssueCardRecord({.RegisterId = std::to_string(thread) + "/" + std::to_string(round),
                                       .CardNo = "0",
                                       .RoomNo = room,
                                       .LastCheckInTime = time,
                                       .IsCopy = round % 2 == 1,
                                       .OpratingTime = time});
        }
    };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < ThreadCount; ++thread)
        threads.emplace_back(work, thread);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrongReads.load(), 0);

    auto raw = Raw();
    std::map<std::string, int> rowsPerRoom;
    soci::rowset<std::string> rooms = (raw->prepare << "select RoomNo from T_Room");
    for (const std::string& room : rooms)
        ++rowsPerRoom[room];
    EXPECT_EQ(rowsPerRoom.size(),
              static_cast<std::size_t>(ThreadCount * RoomsPerThread + OperationsPerThread / 4));
    for (const auto& [room, rows] : rowsPerRoom)
        EXPECT_EQ(rows, 1) << room;
    // Each thread's last round wrote the last time of its rooms.
    for (int thread = 0; thread < ThreadCount; ++thread) {
        for (int slot = 0; slot < RoomsPerThread; ++slot) {
            const int lastRound = (OperationsPerThread / 4 - 1) / RoomsPerThread * RoomsPerThread + slot;
            const std::string room = std::to_string(thread) + "-" + std::to_string(slot);
            EXPECT_EQ(store->GetLastCheckInTime(room), IncMinutes(base, thread * 1000 + lastRound)) << room;
        }
    }

    std::vector<std::string> registerIds;
    soci::rowset<std::string> records = (raw->prepare << "select RegisterId from T_IssueCardRecord");
    for (const std::string& id : records)
        registerIds.push_back(id);
    std::sort(registerIds.begin(), registerIds.end());
    std::vector<std::string> expectedIds;
    for (int thread = 0; thread < ThreadCount; ++thread)
        for (int round = 0; round < OperationsPerThread / 4; ++round)
            expectedIds.push_back(std::to_string(thread) + "/" + std::to_string(round));
    std::sort(expectedIds.begin(), expectedIds.end());
    EXPECT_EQ(registerIds, expectedIds);

    // One "new room" line per room, nothing else.
    const std::vector<std::string> messages = LogMessages();
    EXPECT_EQ(messages.size(), rowsPerRoom.size());
    const std::string newRoom = Gbk("新建房间");
    for (const std::string& message : messages)
        EXPECT_EQ(message.rfind(newRoom, 0), 0u) << message;
}

// How the database refuses a row: a constraint undoes only its own statement; a trigger's ROLLBACK ends the
// whole transaction, rows queued before it included.
struct TRefusalCase {
    TStoreKind kind;
    const char* name;
    const char* tableConstraint;
    const char* trigger;
};

void PrintTo(const TRefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class TRecordStoreRefusalTest : public TRecordStoreFixture,
                                public ::testing::WithParamInterface<TRefusalCase> {
protected:
    TStoreKind Kind() const override { return GetParam().kind; }
};

// Rows added at the same moment share commits: each is visible to another program once its call returns,
// and a row the database refuses costs only itself.
TEST_P(TRecordStoreRefusalTest, SimultaneousRecordsAreEachStoredWhenTheCallReturns) {
    {
        auto raw = Raw();
        *raw << std::string("CREATE TABLE T_IssueCardRecord(RegisterId TEXT") + GetParam().tableConstraint +
                    ", CardNo TEXT, RoomNo TEXT, CardType INTEGER, LastCheckInTime TIMESTAMP, CheckInTime "
                    "TIMESTAMP, CheckOutTime TIMESTAMP, IsCopy INTEGER, GuestName TEXT, OpratingTime "
                    "TIMESTAMP)";
        if (*GetParam().trigger != '\0')
            *raw << GetParam().trigger;
    }
    auto store = OpenStore();
    constexpr int ThreadCount = 16;
    constexpr int RecordsPerThread = 25;
    std::atomic<int> notVisible{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < ThreadCount; ++thread) {
        threads.emplace_back([&, thread] {
            auto raw = Raw();
            for (int i = 0; i < RecordsPerThread; ++i) {
                const bool refused = i % 5 == 4;
                const std::string id =
                    (refused ? "refused-" : "") + std::to_string(thread) + "/" + std::to_string(i);
                store->AddIssueCardRecord(
                    {.RegisterId = id, .CardNo = "0", .RoomNo = "0101", .OpratingTime = Now()});
                if (refused)
                    continue;
                int found = 0;
                *raw << "select count(*) from T_IssueCardRecord where RegisterId = :id", soci::use(id),
                    soci::into(found);
                if (found != 1)
                    ++notVisible;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(notVisible.load(), 0);
    int rows = 0;
    *Raw() << "select count(*) from T_IssueCardRecord", soci::into(rows);
    EXPECT_EQ(rows, ThreadCount * RecordsPerThread * 4 / 5);
    // One logged error per refused row, naming it.
    const std::vector<std::string> messages = LogMessages();
    EXPECT_EQ(messages.size(), static_cast<size_t>(ThreadCount * RecordsPerThread / 5));
    for (int thread = 0; thread < ThreadCount; ++thread) {
        for (int i = 4; i < RecordsPerThread; i += 5) {
            const std::string id = "refused-" + std::to_string(thread) + "/" + std::to_string(i);
            EXPECT_EQ(
                std::count_if(messages.begin(), messages.end(),
                              [&](const std::string& m) { return m.find(id + '"') != std::string::npos; }),
                1)
                << id;
        }
    }
}

// Two hosts on one server: a room's lock keeps the other host out of that room until it is let go, other
// rooms pass at once, and a lock held too long is given up on with a log line.
TEST_P(TPostgresRecordStoreTest, ARoomLockHoldsOffOtherHostsForThatRoomOnly) {
    auto deskA = OpenStore();
    auto deskB = OpenStore();
    TRoomLock held = deskA->LockRoom("01080816");
    ASSERT_TRUE(held.Held());
    EXPECT_TRUE(deskB->LockRoom("01080817").Held());
    EXPECT_TRUE(deskA->LockRoom("01080817").Held());

    deskB->SetLockWait(std::chrono::milliseconds(200));
    EXPECT_FALSE(deskB->LockRoom("01080816").Held());
    EXPECT_THAT(LogMessages(), ::testing::ElementsAre(Gbk("房间(01080816)等待记录锁超过0.2秒，未加锁继续")));

    deskB->SetLockWait(std::chrono::seconds(10));
    std::atomic<bool> released{false};
    std::atomic<bool> heldAfterRelease{false};
    std::thread waiter([&] {
        TRoomLock lock = deskB->LockRoom("01080816");
        heldAfterRelease = lock.Held() && released;
    });
    auto raw = Raw();
    EXPECT_TRUE(WaitFor([&] {
        int waiting = 0;
        *raw << "select count(*) from pg_locks where locktype = 'advisory' and not granted",
            soci::into(waiting);
        return waiting > 0;
    }));
    released = true;
    held = TRoomLock();
    waiter.join();
    EXPECT_TRUE(heldAfterRelease);
    EXPECT_THAT(LogMessages(), ::testing::SizeIs(1));
}

// A server restart between two operations (here: the server ending the store's connections) costs none of
// them: each finds its connection gone, opens a new one and runs.
TEST_P(TPostgresRecordStoreTest, ConnectionsCutBetweenOperationsAreOpenedAgain) {
    const std::string name = "cut-" + std::to_string(std::random_device()());
    auto store = OpenStore(Target() + " application_name='" + name + "'");
    store->AddRoom("0101", EncodeDateTime(2024, 1, 1, 8, 0, 0));
    { TRoomLock lock = store->LockRoom("0101"); }
    const std::size_t before = LogMessages().size();

    auto raw = Raw();
    int cut = 0;
    *raw << "select count(pg_terminate_backend(pid)) from pg_stat_activity where application_name = '" +
                name + "'",
        soci::into(cut);
    EXPECT_EQ(cut, 2); // the store's connection and the idle one of the room locks

    EXPECT_EQ(store->GetLastCheckInTime("0101"), EncodeDateTime(2024, 1, 1, 8, 0, 0));
    EXPECT_TRUE(store->LockRoom("0101").Held());
    store->AddIssueCardRecord({.RegisterId = "R1", .CardNo = "1", .RoomNo = "0101"});
    EXPECT_EQ(RowCount(*raw, "T_IssueCardRecord"), 1);
    // Each lost connection is logged once.
    EXPECT_THAT(LogMessages(), ::testing::SizeIs(before + 2));
}

INSTANTIATE_TEST_SUITE_P(Stores, TPostgresRecordStoreTest, ::testing::Values(TStoreKind::Postgres),
                         StoreKindName);

// On the server any refused statement ends the whole transaction, so its constraint case is that case too.
INSTANTIATE_TEST_SUITE_P(
    Refusals, TRecordStoreRefusalTest,
    ::testing::Values(
        TRefusalCase{TStoreKind::Sqlite, "Check", " CHECK(RegisterId NOT LIKE 'refused-%')", ""},
        TRefusalCase{TStoreKind::Sqlite, "TriggerRollback", "",
                     "CREATE TRIGGER Refuse BEFORE INSERT ON T_IssueCardRecord "
                     "WHEN NEW.RegisterId LIKE 'refused-%' BEGIN SELECT RAISE(ROLLBACK, 'not here'); END"},
        TRefusalCase{TStoreKind::Postgres, "PostgreSQLCheck", " CHECK(RegisterId NOT LIKE 'refused-%')", ""}),
    [](const ::testing::TestParamInfo<TRefusalCase>& test) { return std::string(test.param.name); });
