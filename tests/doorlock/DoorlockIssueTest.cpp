#include "DoorlockTestSupport.h"

#include "doorlock/DoorlockIssueUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordQueryUnit.h"
#include "records/RecordStoreSessionUnit.h"
#include "server/LogFileUnit.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>
#include <soci/soci.h>

#include <cmath>

namespace {

// The rule with settings, a device, a store and room turns of the test's own; no process-wide object is set.
class TIssueRuleTest : public ::testing::Test {
protected:
    TIssueRuleTest() {
        m_issue.RegisterId = "R1";
        m_issue.RoomBuildingCode = "01";
        m_issue.RoomFloorCode = "08";
        m_issue.RoomNo = "0816";
        m_issue.GuestName = "Guest";
        m_issue.RequestedStart = EncodeDateTime(2026, 12, 29, 12, 0, 0);
        m_issue.CheckOut = EncodeDateTime(2026, 12, 31, 14, 30, 0);
        m_issue.Source = "127.0.0.1:50000";
        LogFile = &m_log;
        m_store.OpenDatabase();
    }

    bool Issue(const TCardIssue& issue) {
        int64_t cardNo = 0;
        return IssueCardWithRecords({m_settings, &m_device, &m_store, m_turns}, issue, cardNo);
    }

    std::vector<TIssueCardRecordRow> Rows() const {
        TDoorlockRecordQuery query(TRecordStoreTarget{"sqlite3", m_sandbox.File("Client.db")});
        std::vector<TIssueCardRecordRow> rows;
        query.ForEach({}, [&](const TIssueCardRecordRow& row) { rows.push_back(row); });
        return rows;
    }

    TSandbox m_sandbox;
    TRestored<TLogFile*> m_logGuard{LogFile};
    TLogFile m_log{m_sandbox.File("issue.LOG")};
    TDoorlockOption m_settings{m_sandbox.File("Option.ini")};
    TRecordingDoorlock m_device;
    TDoorlockRecordStore m_store{"sqlite3", m_sandbox.File("Client.db")};
    TRoomTurns m_turns;
    TCardIssue m_issue;
};

} // namespace

TEST_F(TIssueRuleTest, NativeDatabaseStartsNewCardsNowAndCopiesAtTheRecordedStart) {
    m_settings.UseNativeDoorlockDb = true;
    m_settings.DelayMinutes = 10;
    Issue(m_issue);
    ASSERT_EQ(m_device.Issues.size(), 1u);
    TDateTime start = m_device.Issues[0].CheckInDate;
    EXPECT_TRUE(SameMinute(start, IncMinutes(Now(), -10)));
    const TDateTime recorded = m_store.GetLastCheckInTime("01080816").value_or(0);
    EXPECT_TRUE(SameMinute(recorded, start));

    TCardIssue copy = m_issue;
    copy.IsCopy = true;
    Issue(copy);
    ASSERT_EQ(m_device.Issues.size(), 2u);
    EXPECT_EQ(m_device.Issues[1].CheckInDate, recorded);
    EXPECT_EQ(m_store.GetLastCheckInTime("01080816"), recorded);

    // A failed new card leaves the recorded start alone.
    m_device.Succeed = false;
    m_settings.DelayMinutes = 600;
    Issue(m_issue);
    EXPECT_EQ(m_store.GetLastCheckInTime("01080816"), recorded);
}

// A copy whose room start cannot be read still gets its key, at the start a room without one would get; the
// guess is not recorded for the room (which has a row), and one line says so.
TEST_F(TIssueRuleTest, ACopyAfterAFailedLookUpIsIssuedButItsGuessIsNotRecorded) {
    m_settings.UseNativeDoorlockDb = true;
    m_settings.DelayMinutes = 10;
    ASSERT_TRUE(Issue(m_issue));
    {
        auto session = OpenRecordStoreSession("sqlite3", m_sandbox.File("Client.db"));
        *session << "update T_Room set LastCheckInTime = 'not a time'";
    }
    ASSERT_FALSE(m_store.GetLastCheckInTime("01080816").has_value());
    const size_t logged = ReadFileBytes(m_sandbox.File("issue.LOG")).size();

    TCardIssue copy = m_issue;
    copy.IsCopy = true;
    EXPECT_TRUE(Issue(copy));
    ASSERT_EQ(m_device.Issues.size(), 2u);
    EXPECT_TRUE(SameMinute(m_device.Issues[1].CheckInDate, IncMinutes(Now(), -10)));
    auto session = OpenRecordStoreSession("sqlite3", m_sandbox.File("Client.db"));
    EXPECT_EQ(RowCount(*session, "T_Room"), 1);
    const std::string log = ReadFileBytes(m_sandbox.File("issue.LOG")).substr(logged);
    EXPECT_NE(log.find(Gbk("房间(01080816)的入住时间读取失败，补卡按当前时间发卡，不记入房间")),
              std::string::npos);
    EXPECT_EQ(log.find(Gbk("新建房间")), std::string::npos);
}

TEST_F(TIssueRuleTest, TheRowHoldsTheIssueFieldByField) {
    m_settings.SaveDoorlockRecord = true;
    const TDateTime before = Now();
    EXPECT_TRUE(Issue(m_issue));
    m_device.Succeed = false;
    TCardIssue copy = m_issue;
    copy.IsCopy = true;
    copy.GuestName = Gbk("张三");
    copy.Source = DeskOperatorSource();
    EXPECT_FALSE(Issue(copy));

    const std::vector<TIssueCardRecordRow> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    // Newest first: the failed copy has no card number and the operator's source.
    EXPECT_EQ(rows[0].CardNo, "0");
    EXPECT_TRUE(rows[0].IsCopy);
    EXPECT_EQ(rows[0].GuestName, Gbk("张三"));
    EXPECT_EQ(rows[0].Source, Gbk("本机操作员"));
    const TIssueCardRecordRow& row = rows[1];
    EXPECT_EQ(row.RegisterId, "R1");
    EXPECT_EQ(row.CardNo, "816123114");
    EXPECT_EQ(row.RoomNo, "01080816");
    EXPECT_FALSE(row.IsCopy);
    EXPECT_EQ(row.LastCheckInTime, "2026-12-29 12:00:00");
    EXPECT_EQ(row.CheckInTime, "2026-12-29 12:00:00");
    EXPECT_EQ(row.CheckOutTime, "2026-12-31 14:30:00");
    EXPECT_EQ(row.GuestName, "Guest");
    EXPECT_EQ(row.Source, "127.0.0.1:50000");
    EXPECT_GE(row.OpratingTime, RecordTimeText(IncMinutes(before, -1)));

    // With the native database the card's start and the asked start part: each goes to its own column.
    m_settings.UseNativeDoorlockDb = true;
    m_device.Succeed = true;
    Issue(m_issue);
    const TIssueCardRecordRow native = Rows()[0];
    EXPECT_EQ(native.CheckInTime, "2026-12-29 12:00:00");
    EXPECT_NE(native.LastCheckInTime, native.CheckInTime);
}

TEST_F(TIssueRuleTest, WithoutADeviceOrAStoreNothingIsIssuedAndNothingBreaks) {
    m_settings.UseNativeDoorlockDb = true;
    m_settings.SaveDoorlockRecord = true;
    m_issue.IsCopy = true;
    int64_t cardNo = 0;
    EXPECT_FALSE(IssueCardWithRecords({m_settings, nullptr, &m_store, m_turns}, m_issue, cardNo));
    // The row of the failed attempt is kept, the copy's start recorded for the room.
    EXPECT_EQ(Rows().size(), 1u);
    EXPECT_NE(m_store.GetLastCheckInTime("01080816"), 0);
    EXPECT_TRUE(IssueCardWithRecords({m_settings, &m_device, nullptr, m_turns}, m_issue, cardNo));
    ASSERT_EQ(m_device.Issues.size(), 1u);
    EXPECT_TRUE(SameMinute(m_device.Issues[0].CheckInDate, Now()));
}
