#include "police/PoliceMessageHandlerUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "support/HandlerTestSupport.h"
#include "support/TestSupport.h"
#include "xml/XmlUnit.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

class TTestPolice : public TBasePolice {
public:
    const TGuestRecord* GetGuest() override {
        ++Calls;
        return HasGuest ? &Guest : nullptr;
    }
    TGuestRecord Guest;
    bool HasGuest = true;
    int Calls = 0;
};

TGuestRecord SampleGuest() {
    TGuestRecord guest;
    guest.RoomNo = "0816";
    guest.EnterTime = "2008-12-31 14:05:00";
    guest.IdCardType = "99";
    guest.IdCardNo = "110101199001011234";
    guest.Name = Gbk("张三");
    guest.Nationality = Gbk("汉");
    guest.GenderID = "1";
    guest.Salutation = "7";
    guest.CountryCode = "CHN";
    guest.ProvinceCode = "110000";
    guest.Address = Gbk("东长安街1号");
    guest.Birthday = "1990-01-01";
    return guest;
}

// UTF-8, as the client reads it.
const std::string kSampleGuestXml =
    "<Guest><RoomNo>0816</RoomNo><EnterTime>2008-12-31 14:05:00</EnterTime><IdCardTypeID>11</IdCardTypeID>"
    "<IdCardNo>110101199001011234</IdCardNo><Name>张三</Name><Nationality>汉</Nationality><GenderID>1</"
    "GenderID>"
    "<SalutationID>2</SalutationID><CountryCode>CHN</CountryCode><ProvinceCode>110000</ProvinceCode>"
    "<Address>东长安街1号</Address><Birthday>1990-01-01</Birthday></Guest>";

class TPoliceHandlerTest : public TKindHandlerTest<TPoliceMessageHandler, TBasePolice> {
protected:
    void SetUp() override {
        m_police.Guest = SampleGuest();
        m_backEnd = &m_police;
    }

    TTestPolice m_police;
};

} // namespace

TEST(GuestToXmlTest, WritesTheElementsInOrderWithCardTypeElevenAndTheSalutation) {
    // The record's own card type and salutation fields are not what the registration system gets.
    EXPECT_EQ(GbkToUtf8(GuestToXml(SampleGuest())), kSampleGuestXml);
}

struct TSalutationCase {
    const char* name;
    std::string genderId;
    std::string salutation;
};

class TSalutationTest : public ::testing::TestWithParam<TSalutationCase> {};

TEST_P(TSalutationTest, IsGenderPlusOneAndKeepsGenderAsGiven) {
    TGuestRecord guest = SampleGuest();
    guest.GenderID = GetParam().genderId;
    const std::string xml = GuestToXml(guest);
    EXPECT_NE(xml.find("<GenderID>" + GetParam().genderId + "</GenderID><SalutationID>" +
                       GetParam().salutation + "</SalutationID>"),
              std::string::npos)
        << xml;
}

INSTANTIATE_TEST_SUITE_P(Genders, TSalutationTest,
                         ::testing::Values(TSalutationCase{"One", "1", "2"},
                                           TSalutationCase{"Zero", "0", "1"},
                                           TSalutationCase{"LeadingZero", "01", "2"},
                                           TSalutationCase{"Negative", "-1", "0"},
                                           TSalutationCase{"Largest", "2147483647", "2147483648"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(GuestToXmlTest, GenderThatIsNoIntegerRaisesTheConversionError) {
    TGuestRecord guest = SampleGuest();
    for (const std::string gender : {"M", "", "1.0"}) {
        guest.GenderID = gender;
        try {
            GuestToXml(guest);
            ADD_FAILURE() << "no error for '" << gender << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + gender + "' is not a valid integer value");
        }
    }
}

TEST(GuestToXmlTest, EmptyRoomGivesAnEmptyFirstElement) {
    TGuestRecord guest = SampleGuest();
    guest.RoomNo.clear();
    EXPECT_EQ(GuestToXml(guest).rfind("<Guest><RoomNo></RoomNo><EnterTime>", 0), 0u);
}

TEST(GuestToXmlTest, MarkupInValuesIsEscapedAndReadsBackUnchanged) {
    TGuestRecord guest = SampleGuest();
    guest.Name = Gbk("<张&三>");
    guest.Address = "a</Address><x>";
    guest.IdCardNo = std::string("1\0002\x1F\t3\r\n", 8);
    const std::string xml = GuestToXml(guest);
    EXPECT_NE(xml.find("<Name>&lt;" + Gbk("张") + "&amp;" + Gbk("三") + "&gt;</Name>"), std::string::npos);
    EXPECT_NE(xml.find("<IdCardNo>12\t3\r\n</IdCardNo>"), std::string::npos);

    TXmlDocument document;
    document.LoadFromText(xml);
    const TXmlNode* root = document.RootElement();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->ChildCount(), 12);
    EXPECT_EQ(root->ChildAt(4)->ValueText(), guest.Name);
    EXPECT_EQ(root->ChildAt(10)->ValueText(), guest.Address);
}

TEST_F(TPoliceHandlerTest, AnswersEveryRequestWithTheGuestAndLogsBothWays) {
    const std::string expected = "<PoliceResponse>" + kSampleGuestXml + "</PoliceResponse>";
    EXPECT_EQ(Handle("abc"), expected);
    EXPECT_EQ(Handle("<PoliceRequest type=\"GetGuest\"><RoomNo>0816</RoomNo></PoliceRequest>"), expected);
    EXPECT_EQ(Handle(""), expected);
    EXPECT_EQ(m_police.Calls, 3);

    // Each request's entry starts with who sent it.
    const std::vector<std::string> entries = LogEntries();
    ASSERT_EQ(entries.size(), 9u);
    EXPECT_EQ(entries[0], "客户端：127.0.0.1:50000");
    EXPECT_EQ(entries[1], "收到消息: \r\nabc");
    EXPECT_EQ(entries[2], "返回结果: \r\n" + expected);
    EXPECT_EQ(entries[7], "收到消息: \r\n");
}

TEST_F(TPoliceHandlerTest, RequestTextIsLoggedInTheCodePage) {
    Handle("<a>张三</a>");
    const std::string entry = Gbk("收到消息: ") + "\r\n" + Gbk("<a>张三</a>") + "\r\n";
    EXPECT_NE(ReadFileBytes(LogFileName()).find(entry), std::string::npos);
}

TEST_F(TPoliceHandlerTest, WithoutAGuestTheAnswerIsAnEmptyResponse) {
    m_police.HasGuest = false;
    EXPECT_EQ(Handle("abc"), "<PoliceResponse></PoliceResponse>");
    m_backEnd = nullptr;
    EXPECT_EQ(Handle("abc"), "<PoliceResponse></PoliceResponse>");
    const std::vector<std::string> entries = LogEntries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[5], "返回结果: \r\n<PoliceResponse></PoliceResponse>");
}

TEST_F(TPoliceHandlerTest, GenderThatIsNoIntegerRaisesAndLogsOnlyTheRequest) {
    m_police.Guest.GenderID = "M";
    EXPECT_THROW(Handle("abc"), EConvertError);
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{"客户端：127.0.0.1:50000", "收到消息: \r\nabc"}));
}
