#include "e2e/DoorlockHostFixture.h"

namespace {

struct TCliRun {
    int status;
    std::string output;
};

TCliRun RunCli(int port, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    TRunningProgram cli(BuildProgram("doorlock-cli"), args);
    int status = cli.Wait();
    return {status, cli.Output()};
}

} // namespace

TEST_F(TDoorlockHostTest, CliExitStatusFollowsTheResult) {
    StartHost("", false); // no card on the encoder yet
    TCliRun read = RunCli(m_port, {"read"});
    EXPECT_EQ(read.status, 1);
    EXPECT_NE(read.output.find("<ResultCode>500</ResultCode>"), std::string::npos);

    WriteFileBytes(m_sandbox.File("SimCard.bin"), std::string(256, '\xFF'));
    TCliRun issue = RunCli(m_port, {"issue", "0816", "--checkin", "2026-12-29 12:00:00", "--checkout",
                                    "2026-12-31 14:30:00", "--guest", "张三"});
    EXPECT_EQ(issue.status, 0);
    EXPECT_EQ(issue.output,
              "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>发卡成功"
              "</ResultMessage><CardNo>816123114</CardNo></DoorResponse>\n");
    EXPECT_EQ(SimCard().substr(0, 6), std::string("\x11\x08\x16\x12\x31\x14", 6));

    // A request the host does not answer.
    EXPECT_EQ(RunCli(m_port, {"issue", "01"}).status, 2);

    WriteFileBytes(m_sandbox.File("request.xml"), "<r type=\"EraseCard\"/>");
    TCliRun erase = RunCli(m_port, {"send", m_sandbox.File("request.xml")});
    EXPECT_EQ(erase.status, 0);
    EXPECT_EQ(SimCard(), std::string(256, '\xFF'));
}

TEST(Cli, NoServerAndBadArgumentsGiveStatusTwo) {
    EXPECT_EQ(RunCli(FreeTcpPort(), {"read"}).status, 2);
    EXPECT_EQ(RunCli(FreeTcpPort(), {"issue", "0816", "--checkout", "2026-13-01 10:00:00"}).status, 2);
    EXPECT_EQ(RunCli(FreeTcpPort(), {"frobnicate"}).status, 2);
}
