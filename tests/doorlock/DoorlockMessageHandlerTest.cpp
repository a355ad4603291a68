#include "doorlock/DoorlockMessageHandlerUnit.h"

#include "DoorlockTestSupport.h"
#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockIssueUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/SysUtilsUnit.h"
#include "records/DoorlockRecordQueryUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"
#include "support/HandlerTestSupport.h"
#include "support/RecordTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

namespace {

std::string Xml(const std::string& type, const std::vector<std::string>& children) {
    return RequestXml("DoorRequest", type, children);
}

const std::vector<std::string> kIssue = {"",           "R1",       "01",         "08",       "0816", "Guest",
                                         "2026-12-29", "12:00:00", "2026-12-31", "14:30:00", "0"};

class THandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = std::make_unique<TLogFile>(m_sandbox.File("test.LOG"));
        LogFile = m_log.get();
        m_option = std::make_unique<TDoorlockOption>(m_sandbox.File("Option.ini"));
    }

    void UseStore() {
        m_store = std::make_unique<TDoorlockRecordStore>("sqlite3", m_sandbox.File("Client.db"));
        m_store->OpenDatabase();
    }

    // A handler with the test's settings, m_deviceInUse, the store of UseStore (if any) and m_clock.
    TDoorlockMessageHandler MakeHandler() const {
        return TDoorlockMessageHandler(m_option.get(), m_deviceInUse, m_store.get(), m_clock);
    }

    std::optional<std::string> Handle(const std::string& requestUtf8) {
        TDoorlockMessageHandler handler = MakeHandler();
        return HandleWith(handler, requestUtf8);
    }

    std::string Log() const { return ReadFileBytes(m_sandbox.File("test.LOG")); }

    TRestored<TLogFile*> m_guard{LogFile};
    TSandbox m_sandbox;
    std::unique_ptr<TLogFile> m_log;
    std::unique_ptr<TDoorlockOption> m_option;
    std::unique_ptr<TDoorlockRecordStore> m_store;
    TRecordingDoorlock m_device;
    TBaseDoorlock* m_deviceInUse = &m_device;
    std::function<TDateTime()> m_clock = Now;
};

std::string Response(const std::string& code, const std::string& message, const std::string& cardNo) {
    return "<DoorResponse><RequestID></RequestID><ResultCode>" + code + "</ResultCode><ResultMessage>" +
           message + "</ResultMessage><CardNo>" + cardNo + "</CardNo></DoorResponse>";
}

} // namespace

struct TOutcomeCase {
    const char* name;
    std::string request;
    bool deviceSucceeds;
    std::string response;
};

void PrintTo(const TOutcomeCase& c, std::ostream* os) {
    *os << c.name;
}

class THandlerOutcomeTest : public THandlerTest, public ::testing::WithParamInterface<TOutcomeCase> {};

TEST_P(THandlerOutcomeTest, AnswersByTheDeviceResult) {
    m_device.Succeed = GetParam().deviceSucceeds;
    EXPECT_EQ(Handle(GetParam().request), GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(
    Types, THandlerOutcomeTest,
    ::testing::Values(
        TOutcomeCase{"IssueOk", Xml("IssueCard", kIssue), true, Response("200", "发卡成功", "816123114")},
        TOutcomeCase{"IssueFailed", Xml("IssueCard", kIssue), false, Response("500", "发卡失败", "0")},
        TOutcomeCase{"ReadOk", Xml("ReadCard", {}), true, Response("200", "读卡成功", "15151515")},
        TOutcomeCase{"ReadFailed", Xml("ReadCard", {}), false, Response("500", "读卡失败", "0")},
        TOutcomeCase{"EraseOk", Xml("EraseCard", {}), true, Response("200", "注销卡成功 ", "0")},
        TOutcomeCase{"EraseFailed", Xml("EraseCard", {}), false, Response("500", "注销卡失败 ", "0")},
        TOutcomeCase{"TypeWithBlanks", Xml("  ReadCard\t", {}), true,
                     Response("200", "读卡成功", "15151515")},
        TOutcomeCase{"UpperCaseAttributeName", "<x TYPE='ReadCard'/>", true,
                     Response("200", "读卡成功", "15151515")}),
    [](const ::testing::TestParamInfo<TOutcomeCase>& test) { return std::string(test.param.name); });

TEST_F(THandlerTest, WithoutADeviceEveryCardRequestFails) {
    m_deviceInUse = nullptr;
    EXPECT_EQ(Handle(Xml("IssueCard", kIssue)), Response("500", "发卡失败", "0"));
    EXPECT_EQ(Handle(Xml("ReadCard", {})), Response("500", "读卡失败", "0"));
    EXPECT_EQ(Handle(Xml("EraseCard", {})), Response("500", "注销卡失败 ", "0"));
}

TEST_F(THandlerTest, ABaseDeviceFailsEveryCardRequest) {
    TBaseDoorlock base;
    m_deviceInUse = &base;
    EXPECT_EQ(Handle(Xml("IssueCard", kIssue)), Response("500", "发卡失败", "0"));
    EXPECT_EQ(Handle(Xml("ReadCard", {})), Response("500", "读卡失败", "0"));
    EXPECT_EQ(Handle(Xml("EraseCard", {})), Response("500", "注销卡失败 ", "0"));
}

TEST_F(THandlerTest, ChildrenArePositionalAndTheDeviceGetsTheStay) {
    m_option->DelayMinutes = 30;
    m_option->DelayMinutes2 = 15;
    std::vector<std::string> swapped = kIssue;
    std::swap(swapped[2], swapped[4]);
    swapped[10] = "True";
    // A comment among the children counts as one and shifts the rest; blanks between children do not.
    std::string request = "<a type='IssueCard'>\r\n  <!-- first -->\r\n";
    for (size_t i = 1; i < swapped.size(); ++i)
        request += "  <any>" + swapped[i] + "</any>\r\n";
    request += "</a>";
    ASSERT_TRUE(Handle(request).has_value());
    ASSERT_EQ(m_device.Issues.size(), 1u);
    const auto& issue = m_device.Issues[0];
    EXPECT_EQ(issue.RegisterId, "R1");
    EXPECT_EQ(issue.Building, "0816");
    EXPECT_EQ(issue.RoomNo, "01");
    EXPECT_EQ(issue.GuestName, "Guest");
    EXPECT_TRUE(issue.IsCopy);
    EXPECT_EQ(issue.CheckInDate, issue.CheckInTime);
    EXPECT_EQ(issue.CheckOutDate, issue.CheckOutTime);
    EXPECT_EQ(DateTimeToStr(issue.CheckInDate), "2026-12-29 11:30:00");
    EXPECT_EQ(DateTimeToStr(issue.CheckOutDate), "2026-12-31 14:45:00");
}

TEST_F(THandlerTest, CopyFlagConversion) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"1", true},    {"0", false},          {"2", true},      {"true", true},   {"FALSE", false},
        {"yes", false}, {"", false},           {"1.0", true},    {"2.5", true},    {"0.5", true},
        {"1e3", true},  {"99999999999", true}, {"-0", false},    {"0.0", false},   {"-1.5E-2", true},
        {".5", true},   {"5.", true},          {"0e999", false}, {"1e-999", true}, {"1.2.3", false},
        {".", false},   {"1e", false},         {"e1", false},    {"$1", true}};
    for (const auto& [text, expected] : cases) {
        m_device.Issues.clear();
        std::vector<std::string> children = kIssue;
        children[10] = text;
        Handle(Xml("IssueCard", children));
        ASSERT_EQ(m_device.Issues.size(), 1u) << text;
        EXPECT_EQ(m_device.Issues[0].IsCopy, expected) << text;
    }
}

TEST_F(THandlerTest, BadRequestsAreRefusedBeforeAnythingChanges) {
    UseStore();
    m_option->SaveDoorlockRecord = true;
    m_option->UseNativeDoorlockDb = true;
    std::vector<std::string> badDate = kIssue;
    badDate[6] = "2026-13-29";
    std::vector<std::string> tenChildren(kIssue.begin(), kIssue.end() - 1);
    for (const auto& request : {Xml("IssueCard", badDate), Xml("IssueCard", tenChildren), std::string("<a")})
        EXPECT_THROW(Handle(request), std::exception) << request;
    EXPECT_TRUE(m_device.Issues.empty());
    EXPECT_EQ(m_store->GetLastCheckInTime("01080816"), 0);
    EXPECT_EQ(Log().find(Gbk("完成一次操作")), std::string::npos);
}

TEST_F(THandlerTest, DeviceErrorSkipsTheRecordsAndTheAnswer) {
    UseStore();
    m_option->SaveDoorlockRecord = true;
    m_option->UseNativeDoorlockDb = true;
    m_device.Throw = true;
    EXPECT_THROW(Handle(Xml("IssueCard", kIssue)), EConvertError);
    EXPECT_EQ(m_store->GetLastCheckInTime("01080816"), 0);
    EXPECT_EQ(Log().find(Gbk("房间(")), std::string::npos);
}

TEST_F(THandlerTest, MostNegativeDelayMovesTheStartForward) {
    UseStore();
    m_option->DelayMinutes = std::numeric_limits<int32_t>::min();
    const double forward = 2147483648.0 / 1440;
    for (bool useNativeDb : {false, true}) {
        m_option->UseNativeDoorlockDb = useNativeDb;
        m_device.Issues.clear();
        const TDateTime before = Now();
        Handle(Xml("IssueCard", kIssue));
        ASSERT_EQ(m_device.Issues.size(), 1u) << useNativeDb;
        const TDateTime expected =
            useNativeDb ? before + forward : EncodeDateTime(2026, 12, 29, 12) + forward;
        EXPECT_TRUE(SameMinute(m_device.Issues[0].CheckInDate, expected)) << useNativeDb;
    }
}

TEST_F(THandlerTest, LogLinesOfAnIssue) {
    Handle(Xml("IssueCard", kIssue));
    std::string expected = Gbk("收到消息: ") + "\r\n" + Xml("IssueCard", kIssue) + "\r\n";
    std::string log = Log();
    size_t at = log.find(expected);
    ASSERT_NE(at, std::string::npos);
    for (const std::string& line : {Gbk("执行操作->"), Gbk("房间(0816)发卡成功"), Gbk("完成一次操作")}) {
        size_t next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << GbkToUtf8(line);
        at = next;
    }
}

TEST_F(THandlerTest, IssueDatesComeFromTheHandlersClock) {
    UseStore();
    m_option->UseNativeDoorlockDb = true;
    m_option->SaveDoorlockRecord = true;
    m_option->DelayMinutes = 10;
    m_clock = [] { return EncodeDateTime(2031, 3, 4, 5, 6, 7); };
    ASSERT_TRUE(Handle(Xml("IssueCard", kIssue)).has_value());
    ASSERT_EQ(m_device.Issues.size(), 1u);
    EXPECT_EQ(DateTimeToStr(m_device.Issues[0].CheckInDate), "2031-03-04 04:56:07");
    EXPECT_EQ(DateTimeToStr(m_store->GetLastCheckInTime("01080816").value_or(0)), "2031-03-04 04:56:07");
    TDoorlockRecordQuery query(TRecordStoreTarget{"sqlite3", m_sandbox.File("Client.db")});
    const TIssueCardRecordPage page = query.FirstRows({}, 10);
    ASSERT_EQ(page.Rows.size(), 1u);
    EXPECT_EQ(page.Rows[0].OpratingTime, "2031-03-04 05:06:07");
}

TEST_F(THandlerTest, TwoHandlersDoNotShareRoomTurns) {
    TDoorlockMessageHandler one = MakeHandler();
    TDoorlockMessageHandler second = MakeHandler();
    const auto farAhead = std::chrono::steady_clock::now() + std::chrono::hours(1);
    TRoomIssueTurn held(one.IssueContext().Turns, "01080816", farAhead);
    ASSERT_TRUE(held.Held());
    // A deadline already passed: the room is taken only where nobody holds it.
    const auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_FALSE(TRoomIssueTurn(one.IssueContext().Turns, "01080816", passed).Held());
    EXPECT_TRUE(TRoomIssueTurn(second.IssueContext().Turns, "01080816", passed).Held());
    // The other handler issues for the room at once, without waiting out the first one's turn: the only
    // timed-out turn in the log is the one above.
    EXPECT_EQ(HandleWith(second, Xml("IssueCard", kIssue)), Response("200", "发卡成功", "816123114"));
    const std::string log = Log();
    const std::string timedOut = Gbk("房间(01080816)等待发卡超时");
    const size_t first = log.find(timedOut);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(timedOut, first + 1), std::string::npos);
}

TEST(DoorlockResponseTest, ValuesAreEscaped) {
    TDoorlockResponse response;
    response.ResultCode = "200";
    response.ResultMessage = std::string("a<b&c>\0\x01\t", 9);
    EXPECT_EQ(response.ToXml(),
              "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>"
              "a&lt;b&amp;c&gt;\t</ResultMessage><CardNo>0</CardNo></DoorResponse>");
}
