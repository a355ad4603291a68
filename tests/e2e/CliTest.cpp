#include "DoorlockHostFixture.h"

#include "platform/FileNameUnit.h"

namespace {

struct TCliRun {
    int status;
    std::string output; // as text
    std::string raw;    // the bytes, CR LF kept
};

TCliRun RunCli(int port, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    TRunningProgram cli(BuildProgram("doorlock-cli"), args);
    int status = cli.Wait();
    return {status, cli.Output(), cli.RawOutput()};
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

TEST_F(TDoorlockHostTest, CliListsTheIssuedCardsOfTheRunningHost) {
    StartHost("SaveDoorlockRecord=1");
    // The guest's name on the command line reaches the host as UTF-8 whatever the system's code page can
    // hold (scripts/test-windows.sh runs this under Wine with the Chinese and a Western one). The runner
    // takes arguments as file names of the program.
    ASSERT_EQ(RunCli(m_port, {"issue", "0816", "--checkin", "2026-12-29 12:00:00", "--checkout",
                              "2026-12-31 14:30:00", "--guest", FileNameOfUtf8("张三"), "--register", "R1"})
                  .status,
              0);
    ASSERT_EQ(RunCli(m_port, {"issue", "0816", "--checkin", "2026-12-29 12:00:00", "--checkout",
                              "2026-12-31 14:30:00", "--guest", "Li, \"Si\"", "--copy"})
                  .status,
              0);
    ASSERT_EQ(RunCli(m_port, {"issue", "0817", "--checkin", "2026-12-29 12:00:00", "--checkout",
                              "2026-12-31 14:30:00"})
                  .status,
              0);

    // Read while the host still runs and holds the store open.
    TCliRun csv =
        RunCli(m_port, {"records", "--dir", m_sandbox.Path().string(), "--room", "01010816", "--csv"});
    EXPECT_EQ(csv.status, 0);
    // The operation times are the host's clock; the rest is fixed. Newest first: the copy.
    std::string text = csv.raw;
    std::vector<std::string> times;
    for (size_t at = text.find("\r\n20"); at != std::string::npos; at = text.find("\r\n20", at + 21)) {
        times.push_back(text.substr(at + 2, 19));
        text.replace(at + 2, 19, "T");
    }
    EXPECT_EQ(text,
              "\xEF\xBB\xBF操作时间,房间,卡号,类型,开始时间,离店时间,客人姓名,登记号\r\n"
              "T,01010816,816123114,复制卡,2026-12-29 12:00:00,2026-12-31 14:30:00,\"Li, \"\"Si\"\"\",\r\n"
              "T,01010816,816123114,新卡,2026-12-29 12:00:00,2026-12-31 14:30:00,张三,R1\r\n");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[0], times[1]);

    TCliRun table =
        RunCli(m_port, {"records", "--dir", m_sandbox.Path().string(), "--from", "2000-01-01 00:00:00"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.output.find("01010817   817123114  新卡"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("共 3 条\n"), std::string::npos) << table.output;

    EXPECT_EQ(RunCli(m_port, {"records", "--dir", m_sandbox.File("missing")}).status, 2);
}
