#include "member/MemberMessageHandlerUnit.h"

#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "support/HandlerTestSupport.h"
#include "support/TestSupport.h"
#include "xml/XmlUnit.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// The request entry's first line: who sent it (the handler's test support sends from here).
const std::string kPeer = "客户端：127.0.0.1:50000";

// A back end that records what it was asked and answers as told.
class TRecordingMember : public TBaseMember {
public:
    struct TWrite {
        std::string CardNo, Text2, Text3, Text4;
        int CardKind;
    };
    struct TRead {
        bool Flag;
        int CardKind;
    };

    bool WriteMemberCard(const std::string& cardNo, const std::string& text2, const std::string& text3,
                         const std::string& text4, int cardKind) override {
        Writes.push_back({cardNo, text2, text3, text4, cardKind});
        return Succeed;
    }
    bool ReadMemberCard(bool flag, std::string& cardNo, std::string& password, std::string& expireDate,
                        std::string& guestName, std::string& score, int cardKind) override {
        Reads.push_back({flag, cardKind});
        // Filled even on failure: the handler must not pass them on then.
        cardNo = CardNo;
        password = Password;
        expireDate = ExpireDate;
        guestName = GuestName;
        score = Score;
        return Succeed;
    }

    bool Succeed = true;
    std::string CardNo = "A-12 34";
    std::string Password = "pw";
    std::string ExpireDate = "2030-12-31";
    std::string GuestName = Gbk("李四");
    std::string Score = "120";
    std::vector<TWrite> Writes;
    std::vector<TRead> Reads;
};

std::string Xml(const std::string& type, const std::vector<std::string>& children) {
    return RequestXml("MemberRequest", type, children);
}

std::string Response(const std::string& code, const std::string& message, const std::string& cardNo,
                     const std::string& expireDate = "", const std::string& guestName = "",
                     const std::string& score = "", const std::string& password = "") {
    return "<DoorResponse><RequestID></RequestID><ResultCode>" + code + "</ResultCode><ResultMessage>" +
           message + "</ResultMessage><CardNo>" + cardNo + "</CardNo><ExpireDate>" + expireDate +
           "</ExpireDate><GuestName>" + guestName + "</GuestName><Score>" + score + "</Score><Password>" +
           password + "</Password></DoorResponse>";
}

const std::vector<std::string> kWrite = {"R1", "M0001", "pw", "2030-12-31", "Guest"};

class TMemberHandlerTest : public TKindHandlerTest<TMemberMessageHandler, TBaseMember> {
protected:
    void SetUp() override { m_backEnd = &m_member; }

    TRecordingMember m_member;
};

} // namespace

TEST_F(TMemberHandlerTest, WriteHandsChildrenTwoToFiveToTheBackEnd) {
    EXPECT_EQ(Handle(Xml("WriteMemberCard", {"ignored", "M0001", "pw", "2030-12-31", "王五"})),
              Response("200", "写卡成功", "M0001"));
    ASSERT_EQ(m_member.Writes.size(), 1u);
    const TRecordingMember::TWrite& write = m_member.Writes[0];
    EXPECT_EQ(write.CardNo, "M0001");
    EXPECT_EQ(write.Text2, "pw");
    EXPECT_EQ(write.Text3, "2030-12-31");
    EXPECT_EQ(write.Text4, Gbk("王五"));
    // The request entry, then the result; the response itself is not logged.
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{kPeer, "收到消息: ", "写卡成功,卡号为:M0001"}));
}

TEST_F(TMemberHandlerTest, FailedWriteAnswers500WithTheRequestedCardNumber) {
    m_member.Succeed = false;
    EXPECT_EQ(Handle(Xml("WriteMemberCard", kWrite)), Response("500", "写卡失败", "M0001"));
    m_backEnd = nullptr;
    EXPECT_EQ(Handle(Xml("WriteMemberCard", kWrite)), Response("500", "写卡失败", "M0001"));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{kPeer, "收到消息: ", "写卡失败,卡号为:M0001", kPeer,
                                                       "收到消息: ", "写卡失败,卡号为:M0001"}));
}

TEST_F(TMemberHandlerTest, ReadAnswersTheCardWithItsNumberReducedToLettersAndDigits) {
    m_member.GuestName = Gbk("李<四>&");
    EXPECT_EQ(Handle(Xml("ReadMemberCard", {"", "1"})),
              Response("200", "读卡成功", "A1234", "2030-12-31", "李&lt;四&gt;&amp;", "120", "pw"));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{kPeer, "收到消息: ", "读卡成功，卡号为：A1234"}));
}

TEST_F(TMemberHandlerTest, CardNumberKeepsOnlyAsciiLettersAndDigits) {
    // 門 and 碼 have the trail bytes "T" and "a": a character goes whole.
    const std::pair<std::string, std::string> cases[] = {
        {"\tz-Z_0.9" + Gbk("号") + "\xFF~", "zZ09"}, {Gbk("門1碼2"), "12"}, {"7\xE9", "7"}};
    for (const auto& [read, kept] : cases) {
        m_member.CardNo = read;
        EXPECT_EQ(Handle(Xml("ReadMemberCard", {"", "1"})),
                  Response("200", "读卡成功", kept, "2030-12-31", "李四", "120", "pw"));
    }
}

TEST_F(TMemberHandlerTest, FailedReadAnswers500AndPassesNoOutputOn) {
    m_member.Succeed = false;
    EXPECT_EQ(Handle(Xml("ReadMemberCard", {"", "1"})), Response("500", "读卡失败", ""));
    m_backEnd = nullptr;
    EXPECT_EQ(Handle(Xml("ReadMemberCard", {"", "1"})), Response("500", "读卡失败", ""));
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{kPeer, "收到消息: ", "读卡失败", kPeer, "收到消息: ", "读卡失败"}));
}

TEST_F(TMemberHandlerTest, ResponseIsWellFormedWhateverTheValuesHold) {
    m_member.CardNo = "C1";
    m_member.GuestName = "<x>&</GuestName>";
    m_member.Password = "a<b";
    const std::optional<std::string> response = Handle(Xml("ReadMemberCard", {"", "1"}));
    ASSERT_TRUE(response.has_value());
    TXmlDocument document;
    document.LoadFromText(Utf8ToGbk(*response));
    const TXmlNode* root = document.RootElement();
    ASSERT_EQ(root->ChildCount(), 8);
    EXPECT_EQ(root->ChildAt(5)->ValueText(), m_member.GuestName);
    EXPECT_EQ(root->ChildAt(7)->Name(), "Password");
    EXPECT_EQ(root->ChildAt(7)->ValueText(), "a<b");
}

struct TFlagCase {
    const char* name;
    std::string value;
    bool flag;
};

class TReadFlagTest : public TMemberHandlerTest, public ::testing::WithParamInterface<TFlagCase> {};

TEST_P(TReadFlagTest, OnlyOneIsTrue) {
    ASSERT_TRUE(Handle(Xml("ReadMemberCard", {"", GetParam().value})).has_value());
    ASSERT_EQ(m_member.Reads.size(), 1u);
    EXPECT_EQ(m_member.Reads[0].Flag, GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P(Values, TReadFlagTest,
                         ::testing::Values(TFlagCase{"One", "1", true}, TFlagCase{"Zero", "0", false},
                                           TFlagCase{"Two", "2", false}, TFlagCase{"MinusOne", "-1", false},
                                           TFlagCase{"HexOne", "$1", true},
                                           TFlagCase{"LeadingSpace", " 1", true}),
                         [](const auto& test) { return std::string(test.param.name); });

struct TKindCase {
    const char* name;
    std::string request;
    int cardKind;
};

class TCardKindTest : public TMemberHandlerTest, public ::testing::WithParamInterface<TKindCase> {};

TEST_P(TCardKindTest, IsPassedOnOrMinusOne) {
    ASSERT_TRUE(Handle(GetParam().request).has_value());
    ASSERT_EQ(m_member.Writes.size() + m_member.Reads.size(), 1u);
    EXPECT_EQ(m_member.Writes.empty() ? m_member.Reads[0].CardKind : m_member.Writes[0].CardKind,
              GetParam().cardKind);
}

std::vector<std::string> With(std::vector<std::string> children, const std::string& extra) {
    children.push_back(extra);
    return children;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TCardKindTest,
    ::testing::Values(TKindCase{"WriteWithoutKind", Xml("WriteMemberCard", kWrite), -1},
                      TKindCase{"WriteAlliance", Xml("WriteMemberCard", With(kWrite, "11")), 11},
                      TKindCase{"WriteNoInteger", Xml("WriteMemberCard", With(kWrite, "x")), -1},
                      TKindCase{"WriteEmpty", Xml("WriteMemberCard", With(kWrite, "")), -1},
                      TKindCase{"ReadWithoutKind", Xml("ReadMemberCard", {"", "1"}), -1},
                      TKindCase{"ReadAlliance", Xml("ReadMemberCard", {"", "1", "11"}), 11},
                      TKindCase{"ReadNoInteger", Xml("ReadMemberCard", {"", "1", "x"}), -1}),
    [](const auto& test) { return std::string(test.param.name); });

struct TNoAnswerCase {
    const char* name;
    std::string request;
    const char* unknownType = nullptr; // the type named by the reason line; the cycle logs the others' reason
};

class TNoAnswerTest : public TMemberHandlerTest, public ::testing::WithParamInterface<TNoAnswerCase> {};

// Requests the handler does not serve: no answer, no call of the back end, nothing logged beyond the request.
TEST_P(TNoAnswerTest, SendsNothing) {
    std::optional<std::string> response;
    try {
        response = Handle(GetParam().request);
    } catch (const std::exception&) {
    }
    EXPECT_EQ(response, std::nullopt);
    EXPECT_TRUE(m_member.Writes.empty());
    EXPECT_TRUE(m_member.Reads.empty());
    std::vector<std::string> expected{kPeer, "收到消息: "};
    if (GetParam().unknownType != nullptr)
        expected.push_back(std::string("请求未应答，连接已关闭：未知的请求类型 \"") + GetParam().unknownType +
                           "\"");
    EXPECT_EQ(LogMessages(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TNoAnswerTest,
    ::testing::Values(TNoAnswerCase{"WriteWithFourChildren",
                                    Xml("WriteMemberCard", {"R1", "M0001", "pw", "x"})},
                      TNoAnswerCase{"ReadWithOneChild", Xml("ReadMemberCard", {""})},
                      TNoAnswerCase{"ReadFlagNoInteger", Xml("ReadMemberCard", {"", "x"})},
                      TNoAnswerCase{"LowerCaseType", Xml("writemembercard", kWrite), "writemembercard"},
                      TNoAnswerCase{"OtherType", Xml("IssueCard", kWrite), "IssueCard"},
                      TNoAnswerCase{"NoType", "<MemberRequest><a>1</a></MemberRequest>", ""},
                      TNoAnswerCase{"NotXml", "abc"}, TNoAnswerCase{"Empty", ""},
                      TNoAnswerCase{"Unclosed", "<MemberRequest type=\"ReadMemberCard\"><a/><b>1</b>"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(TMemberHandlerTest, BlanksAroundTheTypeAreIgnored) {
    EXPECT_EQ(Handle(Xml(" \tWriteMemberCard  ", kWrite)), Response("200", "写卡成功", "M0001"));
    EXPECT_EQ(Handle(Xml("  ReadMemberCard ", {"", "1"})),
              Response("200", "读卡成功", "A1234", "2030-12-31", "李四", "120", "pw"));
}

TEST_F(TMemberHandlerTest, CardNumberWithMarkupIsEscapedInTheAnswerAndLoggedAsRead) {
    EXPECT_EQ(Handle(Xml("WriteMemberCard", {"R1", "A&amp;B", "pw", "x", "y"})),
              Response("200", "写卡成功", "A&amp;B"));
    EXPECT_EQ(m_member.Writes.at(0).CardNo, "A&B");
    EXPECT_EQ(LogMessages().back(), "写卡成功,卡号为:A&B");
    // A NUL would end the answer for the client; other control bytes make it ill-formed.
    EXPECT_EQ(Handle(Xml("WriteMemberCard", {"R1", "A&#0;B&#1;&#31;&#9;C&#10;", "pw", "x", "y"})),
              Response("200", "写卡成功", "AB\tC\n"));
}

TEST(MemberResponseTest, PasswordComesLast) {
    TMemberResponse response;
    response.ResultCode = "200";
    response.CardNo = "1";
    response.Password = "2";
    response.ExpireDate = "3";
    response.GuestName = "4";
    response.Score = "5";
    EXPECT_EQ(response.ToXml(),
              "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>"
              "</ResultMessage><CardNo>1</CardNo><ExpireDate>3</ExpireDate><GuestName>4</GuestName>"
              "<Score>5</Score><Password>2</Password></DoorResponse>");
}
