// The example deployments of interface kinds 2 and 3, run as a hotel system meets them: over TCP.
#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

// An example host --headless in a sandbox program directory, on a free port of its kind.
class TKindsHostTest : public ::testing::Test {
protected:
    TKindsHostTest(std::string program, std::string portKey, std::string startLine)
        : m_program(std::move(program)), m_portKey(std::move(portKey)), m_startLine(std::move(startLine)) {}

    void SetUp() override {
        if (!fs::exists(BuildProgram(m_program)))
            GTEST_SKIP() << m_program << " is not built (DOORLOCK_EXAMPLES is off)";
        StartHost();
    }

    void StartHost() {
        m_host = StartHeadlessHost(
            BuildProgram(m_program), m_sandbox.Path().string(),
            [&](int port) {
                return "[SysOption]\r\n" + m_portKey + "=" + std::to_string(port) + "\r\n" + m_sysOptions;
            },
            m_startLine, m_port);
    }

    // The response bytes; an empty text when the host closed without answering.
    std::string Send(const std::string& request) {
        bool closed = false;
        std::string response = Exchange(m_port, Framed(request), &closed);
        EXPECT_TRUE(closed) << "the host must close the connection";
        return response;
    }

    // SIGTERM: the stop line and exit status 0.
    void StopHost() {
        EXPECT_EQ(m_host->Stop(SIGTERM), 0) << m_host->Errors();
        EXPECT_NE(m_host->Output().find("接口监听服务器已经停止。"), std::string::npos);
    }

    std::string m_program, m_portKey, m_startLine;
    std::string m_sysOptions; // further lines of section SysOption
    TSandbox m_sandbox;
    int m_port = 0;
    std::unique_ptr<TRunningProgram> m_host;
};

class TPoliceHostTest : public TKindsHostTest {
protected:
    TPoliceHostTest()
        : TKindsHostTest("police-example-host", "PolicePortNo", "公安接口监听服务器已经启动...") {}
};

class TMemberHostTest : public TKindsHostTest {
protected:
    TMemberHostTest()
        : TKindsHostTest("member-example-host", "MemberPortNo", "会员卡接口监听服务器已经启动...") {}
};

std::string MemberResponse(const std::string& code, const std::string& message, const std::string& cardNo,
                           const std::string& expireDate = "", const std::string& guestName = "",
                           const std::string& password = "") {
    return Framed("<DoorResponse><RequestID></RequestID><ResultCode>" + code +
                  "</ResultCode><ResultMessage>" + message + "</ResultMessage><CardNo>" + cardNo +
                  "</CardNo><ExpireDate>" + expireDate + "</ExpireDate><GuestName>" + guestName +
                  "</GuestName><Score></Score><Password>" + password + "</Password></DoorResponse>");
}

} // namespace

TEST_F(TPoliceHostTest, AnswersEveryRequestWithItsGuest) {
    const std::string guest =
        Framed("<PoliceResponse><Guest><RoomNo>0816</RoomNo><EnterTime>2008-12-31 14:05:00</EnterTime>"
               "<IdCardTypeID>11</IdCardTypeID><IdCardNo>110101199001011234</IdCardNo><Name>张三</Name>"
               "<Nationality>汉</Nationality><GenderID>1</GenderID><SalutationID>2</SalutationID>"
               "<CountryCode>CHN</CountryCode><ProvinceCode>110000</"
               "ProvinceCode><Address>北京市东城区东长安街1号</Address>"
               "<Birthday>1990-01-01</Birthday></Guest></PoliceResponse>");
    EXPECT_EQ(Send("abc"), guest);
    EXPECT_EQ(Send("<PoliceRequest type=\"GetGuest\"><RoomNo>0816</RoomNo></PoliceRequest>"), guest);
    const std::string log = ReadLogFile(m_sandbox.Path().string());
    EXPECT_NE(log.find("abc"), std::string::npos);
    StopHost();
}

TEST_F(TPoliceHostTest, AllowedClientsHoldForEveryKind) {
    StopHost();
    m_sysOptions = "AllowedClients=127.0.0.2\r\n";
    StartHost();
    bool closed = false;
    EXPECT_EQ(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.1"), Framed("abc"), &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_NE(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.2"), Framed("abc")).find("<PoliceResponse>"),
              std::string::npos);
    StopHost();
}

TEST_F(TMemberHostTest, WritesACardAndReadsItBack) {
    // Nothing written yet: no card on the device.
    EXPECT_EQ(Send("<MemberRequest type=\"ReadMemberCard\"><RequestID/><Flag>1</Flag></MemberRequest>"),
              MemberResponse("500", "读卡失败", ""));

    EXPECT_EQ(Send("<MemberRequest type=\"WriteMemberCard\"><RequestID/><CardNo>A-12 "
                   "34</CardNo><Password>s3</Password>"
                   "<ExpireDate>2030-12-31</ExpireDate><GuestName>王&lt;五</GuestName><CardType>11</CardType>"
                   "</MemberRequest>"),
              MemberResponse("200", "写卡成功", "A-12 34"));
    EXPECT_EQ(Send("<MemberRequest type=\" ReadMemberCard \"><RequestID/><Flag>0</Flag></MemberRequest>"),
              MemberResponse("200", "读卡成功", "A1234", "2030-12-31", "王&lt;五", "s3"));

    // The card is kept in the program directory.
    EXPECT_EQ(ReadFileBytes(m_sandbox.File("MemberCards.txt")), "A-12 34\ts3\t2030-12-31\t王<五\t11\n");
    StopHost();
}

TEST_F(TMemberHostTest, ClosesWithoutAnswerOnRequestsItDoesNotServe) {
    // Four children are one too few for a write.
    EXPECT_EQ(Send("<MemberRequest type=\"WriteMemberCard\"><a/><b>C1</b><c>p</c><d>e</d></MemberRequest>"),
              "");
    EXPECT_EQ(
        Send("<MemberRequest type=\"writemembercard\"><a/><b>C1</b><c>p</c><d>e</d><e>g</e></MemberRequest>"),
        "");
    EXPECT_EQ(Send("<MemberRequest type=\"ReadMemberCard\"><a/><b>x</b></MemberRequest>"), "");
    EXPECT_FALSE(fs::exists(m_sandbox.File("MemberCards.txt")));
    // The host serves on after them.
    EXPECT_EQ(
        Send("<MemberRequest type=\"WriteMemberCard\"><a/><b>C1</b><c>p</c><d>e</d><e>g</e></MemberRequest>"),
        MemberResponse("200", "写卡成功", "C1"));
    StopHost();
}
