#include "support/RecordStoreFixture.h"
#include "support/RecordTestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/SysUtilsUnit.h"
#include "records/RecordRetentionUnit.h"
#include "records/RoomLockPoolUnit.h"

#include <gmock/gmock.h>

#include <atomic>
#include <map>
#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Ten days before this, to the second, is the boundary: 2026-11-30 12:00:00. (A function: the date-time
// unit's own constants may not be set up yet while globals are.)
TDateTime RetentionNow() {
    return EncodeDateTime(2026, 12, 10, 12, 0, 0, 700);
}
const TRecordRetentionPolicy TenDaysDelete{10, TRecordRetentionMode::Delete};
const TRecordRetentionPolicy TenDaysAnonymise{10, TRecordRetentionMode::Anonymise};

bool Never() {
    return false;
}

// RegisterId -> "GuestName/RegisterId/CardNo/RoomNo/OpratingTime" of every issued-card row.
std::map<std::string, std::string> RowsByCard(soci::session& raw) {
    std::map<std::string, std::string> rows;
    soci::rowset<soci::row> found =
        (raw.prepare << "select CardNo, GuestName, RegisterId, RoomNo, OpratingTime from T_IssueCardRecord");
    for (const soci::row& row : found) {
        std::string cells;
        for (std::size_t i = 1; i < row.size(); ++i)
            cells += CellText(row, i) + (i + 1 < row.size() ? "/" : "");
        rows[row.get<std::string>(0)] = cells;
    }
    return rows;
}

} // namespace

TEST(RecordRetentionTest, SettingsParseAndTheNoticeNamesTheFirstDayKept) {
    struct TCase {
        int Days;
        const char* Mode;
        bool Valid;
        const char* Notice;
    };
    const TCase cases[] = {
        {0, "Delete", true, ""},
        {-3, "Anonymise", true, ""},
        {180, "Delete", true, "发卡记录保留 180 天（2026-06-13 起）"},
        {180, " delete ", true, "发卡记录保留 180 天（2026-06-13 起）"},
        {10, "ANONYMISE", true, "发卡记录的住客姓名和登记号保留 10 天（2026-11-30 起）"},
        {10, "Anonymize", false, ""},
        {0, "Archive", false, ""},
        {10, "", false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Mode) + " " + std::to_string(c.Days));
        if (!c.Valid) {
            try {
                RecordRetentionPolicyOf(c.Days, c.Mode);
                ADD_FAILURE() << "accepted";
            } catch (const Exception& e) {
                EXPECT_EQ(std::string(e.what()), "'" + Trim(c.Mode) +
                                                     "' is not a valid record retention, Delete or Anonymise "
                                                     "(RecordRetention)");
            }
            continue;
        }
        EXPECT_EQ(RetentionNotice(RecordRetentionPolicyOf(c.Days, c.Mode), RetentionNow()), Gbk(c.Notice));
    }
}

// Rows on both sides of the boundary, several in one second across batches of two, one without a time, one
// already without a name; the rooms' table beside them.
TEST_P(TRecordStoreTest, RetentionHandlesOnlyRowsOlderThanItsDaysInShortBatches) {
    struct TCase {
        TRecordRetentionPolicy Policy;
        // The first batch of two: the oldest rows up to the second's time, that whole second included.
        size_t FirstBatch;
        size_t Handled;
        const char* Line;
        // The rows left, by card number, as RowsByCard shows them.
        std::map<std::string, std::string> Left;
    };
    const std::string room = "01080816";
    const std::map<std::string, std::string> kept = {
        {"at-boundary", "Zhang/R1/" + room + "/2026-11-30 12:00:00"},
        {"new", "Li/R2/" + room + "/2026-12-10 11:59:59"},
        {"no-time", "Wang/R3/" + room + "/NULL"},
    };
    auto with = [&](std::map<std::string, std::string> rows) {
        rows.insert(kept.begin(), kept.end());
        return rows;
    };
    const TCase cases[] = {
        {TenDaysDelete, 2, 6, "记录保留 10 天：删除了 6 条发卡记录", with({})},
        // A row without name and number is done already.
        {TenDaysAnonymise, 4, 5, "记录保留 10 天：隐去了 5 条发卡记录的住客姓名和登记号",
         with({{"second-older", "//" + room + "/2026-11-30 11:59:59"},
               {"same-second-1", "//" + room + "/2026-11-01 08:00:00"},
               {"same-second-2", "//" + room + "/2026-11-01 08:00:00"},
               {"same-second-3", "//" + room + "/2026-11-01 08:00:00"},
               {"name-only", "//" + room + "/2025-01-01 00:00:00"},
               {"nameless", "//" + room + "/2024-01-01 00:00:00"}})},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(Gbk(c.Line));
        auto store = OpenStore();
        auto raw = Raw();
        *raw << "delete from T_IssueCardRecord";
        *raw << "delete from T_Room";
        store->AddRoom(room, EncodeDateTime(2020, 1, 1, 0, 0, 0));
        const struct {
            const char* Card;
            const char* Guest;
            const char* Register;
            TDateTime At;
        } rows[] = {
            {"at-boundary", "Zhang", "R1", EncodeDateTime(2026, 11, 30, 12, 0, 0)},
            {"new", "Li", "R2", EncodeDateTime(2026, 12, 10, 11, 59, 59)},
            {"no-time", "Wang", "R3", 0},
            {"second-older", "Zhao", "R4", EncodeDateTime(2026, 11, 30, 11, 59, 59)},
            {"same-second-1", "A", "R5", EncodeDateTime(2026, 11, 1, 8, 0, 0)},
            {"same-second-2", "B", "R6", EncodeDateTime(2026, 11, 1, 8, 0, 0)},
            {"same-second-3", "C", "", EncodeDateTime(2026, 11, 1, 8, 0, 0)},
            {"name-only", "D", "", EncodeDateTime(2025, 1, 1, 0, 0, 0)},
            {"nameless", "", "", EncodeDateTime(2024, 1, 1, 0, 0, 0)},
        };
        for (const auto& row : rows)
            store->AddIssueCardRecord({.RegisterId = row.Register,
                                       .CardNo = row.Card,
                                       .RoomNo = room,
                                       .GuestName = row.Guest,
                                       .OpratingTime = row.At});
        // Asked to stop after the first batch: that batch is done, and no more.
        int looks = 0;
        const TRetentionResult first = ExpireIssueCardRecords(
            {Backend(), Target()}, c.Policy, RetentionNow(), [&] { return ++looks > 1; }, 2);
        EXPECT_TRUE(first.Stopped);
        EXPECT_EQ(first.Error, "");
        EXPECT_EQ(first.Rows, c.FirstBatch);

        const TRetentionResult rest =
            ExpireIssueCardRecords({Backend(), Target()}, c.Policy, RetentionNow(), Never, 2);
        EXPECT_EQ(rest.Error, "");
        EXPECT_FALSE(rest.Stopped);
        EXPECT_FALSE(rest.Skipped);
        EXPECT_EQ(first.Rows + rest.Rows, c.Handled);
        EXPECT_EQ(RowsByCard(*raw), c.Left);
        EXPECT_EQ(RetentionLine(c.Policy, {.Rows = first.Rows + rest.Rows}), Gbk(c.Line));
        // The rooms' table holds no guest's data and stays as it was.
        EXPECT_EQ(store->GetLastCheckInTime(room), EncodeDateTime(2020, 1, 1, 0, 0, 0));

        // Nothing left to do: no line.
        const TRetentionResult again =
            ExpireIssueCardRecords({Backend(), Target()}, c.Policy, RetentionNow(), Never, 2);
        EXPECT_EQ(again.Rows, 0u);
        EXPECT_EQ(RetentionLine(c.Policy, again), "");
    }
    EXPECT_THAT(LogMessages(), ElementsAre(Gbk("新建房间") + room, Gbk("新建房间") + room));
}

// Two desks on one store start their rounds together: each row is handled once, and the counts add up. A
// round that meets another desk's on a shared store skips.
TEST_P(TRecordStoreTest, RetentionRoundsOfTwoDesksHandleEachRowOnce) {
    constexpr int Rows = 400;
    auto store = OpenStore();
    for (int i = 0; i < Rows; ++i)
        store->AddIssueCardRecord({.RegisterId = "R",
                                   .CardNo = std::to_string(i),
                                   .RoomNo = "01080816",
                                   .GuestName = "G",
                                   .OpratingTime = EncodeDateTime(2026, 1, 1, 0, 0, 0) + i / 86400.0});
    for (const TRecordRetentionPolicy& policy : {TenDaysAnonymise, TenDaysDelete}) {
        SCOPED_TRACE(policy.Mode == TRecordRetentionMode::Delete ? "delete" : "anonymise");
        TStartLine start(2);
        std::atomic<size_t> handled{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> desks;
        for (int desk = 0; desk < 2; ++desk)
            desks.emplace_back([&] {
                start.ArriveAndWait();
                const TRetentionResult result =
                    ExpireIssueCardRecords({Backend(), Target()}, policy, RetentionNow(), Never, 40);
                handled += result.Rows;
                failed += result.Error.empty() ? 0 : 1;
            });
        for (std::thread& desk : desks)
            desk.join();
        EXPECT_EQ(failed.load(), 0);
        EXPECT_EQ(handled.load(), static_cast<size_t>(Rows));
    }
    int left = -1;
    *Raw() << "select count(*) from T_IssueCardRecord", soci::into(left);
    EXPECT_EQ(left, 0);

    if (OnPostgres()) {
        store->AddIssueCardRecord(
            {.CardNo = "1", .GuestName = "G", .OpratingTime = EncodeDateTime(2026, 1, 1, 0, 0, 0)});
        auto otherDesk = Raw();
        *otherDesk << "select pg_advisory_lock(" +
                          std::to_string(AdvisoryLockKey("doorlock-host record retention")) + ")";
        const TRetentionResult skipped =
            ExpireIssueCardRecords({Backend(), Target()}, TenDaysDelete, RetentionNow(), Never);
        EXPECT_TRUE(skipped.Skipped);
        EXPECT_EQ(skipped.Rows, 0u);
        *Raw() << "select count(*) from T_IssueCardRecord", soci::into(left);
        EXPECT_EQ(left, 1);
    }
    EXPECT_THAT(LogMessages(), IsEmpty());
}

// The host's rounds: one for each StartRound (the start, then each new day), each in one line of the log when
// it changed rows, the clock read when the round begins.
TEST_P(TSqliteRecordStoreTest, RetentionRoundsRunOnTheirThreadAndLogWhatTheyChanged) {
    auto store = OpenStore();
    std::atomic<TDateTime> now{RetentionNow()};
    TRecordRetention retention({Backend(), Target()}, TenDaysDelete, [&] { return now.load(); });
    for (int round = 1; round <= 3; ++round) {
        // The first round finds two rows, the second none, the third the one grown old since.
        if (round == 1) {
            for (const char* card : {"1", "2"})
                store->AddIssueCardRecord(
                    {.CardNo = card, .OpratingTime = EncodeDateTime(2026, 11, 1, 0, 0, 0)});
            store->AddIssueCardRecord({.CardNo = "3", .OpratingTime = EncodeDateTime(2026, 12, 5, 0, 0, 0)});
        }
        if (round == 3)
            now = RetentionNow() + 10;
        retention.StartRound();
        ASSERT_TRUE(WaitFor([&] { return retention.Rounds() == static_cast<unsigned>(round); }));
    }
    EXPECT_THAT(LogMessages(), ElementsAre(Gbk("记录保留 10 天：删除了 2 条发卡记录"),
                                           Gbk("记录保留 10 天：删除了 1 条发卡记录")));
}
