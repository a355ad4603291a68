#include "DoorlockHostFixture.h"

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
    // As a request file: the guest's name then reaches the host as UTF-8 on every system (a Windows
    // program's arguments pass the ANSI code page).
    WriteFileBytes(
        m_sandbox.File("issue.xml"),
        "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>R1</RegisterId>"
        "<RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>01</RoomFloorCode><RoomNo>0816</RoomNo>"
        "<GuestName>张三</GuestName><CheckInDate>2026-12-29</CheckInDate><CheckInTime>12:00:00"
        "</CheckInTime><CheckOutDate>2026-12-31</CheckOutDate><CheckOutTime>14:30:00</CheckOutTime>"
        "<IsCopy>0</IsCopy></DoorRequest>");
    ASSERT_EQ(RunCli(m_port, {"send", m_sandbox.File("issue.xml")}).status, 0);
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
    // The operation times are the host's clock and the sources the client's port (the records test looks at
    // those); the rest is fixed. Newest first: the copy.
    std::string text;
    std::vector<std::string> times;
    for (size_t start = 0, end; (end = csv.raw.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = csv.raw.substr(start, end - start);
        if (start > 0) {
            times.push_back(line.substr(0, 19));
            line = "T" + line.substr(19, line.rfind(',') + 1 - 19);
        }
        text += line + "\r\n";
    }
    EXPECT_EQ(text,
              "\xEF\xBB\xBF操作时间,房间,卡号,类型,开始时间,离店时间,客人姓名,登记号,来源\r\n"
              "T,01010816,816123114,复制卡,2026-12-29 12:00:00,2026-12-31 14:30:00,\"Li, \"\"Si\"\"\",,\r\n"
              "T,01010816,816123114,新卡,2026-12-29 12:00:00,2026-12-31 14:30:00,张三,R1,\r\n");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[0], times[1]);

    TCliRun table =
        RunCli(m_port, {"records", "--dir", m_sandbox.Path().string(), "--from", "2000-01-01 00:00:00"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.output.find("01010817   817123114  新卡"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("共 3 条\n"), std::string::npos) << table.output;

    EXPECT_EQ(RunCli(m_port, {"records", "--dir", m_sandbox.File("missing")}).status, 2);
}
