#include "DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"

#include <algorithm>

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

TEST(CliTest, NoServerAndBadArgumentsGiveStatusTwo) {
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

namespace {

// A host whose listener speaks TLS with the certificates of MakeCertificates in its program directory, and
// those of another CA in other/.
class TTlsHostTest : public TDoorlockHostTest {
protected:
    void SetUp() override {
        if (!MakeCertificates(m_sandbox.Path().string()) ||
            !MakeCertificates(m_sandbox.File("other"), "intruder"))
            GTEST_SKIP() << "scripts/make-certs.sh cannot run here";
    }
    void StartTlsHost(bool clientCA) {
        StartHost("", true,
                  "TlsCertificate=host.pem\r\nTlsPrivateKey=host.key\r\n" +
                      std::string(clientCA ? "TlsClientCA=ca.pem\r\n" : ""));
    }
    std::vector<std::string> ClientCertificate() const {
        return {"--tls-ca",  m_sandbox.File("ca.pem"),    "--tls-cert", m_sandbox.File("client.pem"),
                "--tls-key", m_sandbox.File("client.key")};
    }
    TCliRun ReadCard(std::vector<std::string> args) {
        args.push_back("read");
        return RunCli(m_port, args);
    }
    size_t LogLinesStartingWith(const std::string& start) const {
        const std::vector<std::string> lines = LogLines();
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
    }
    // Peer lines of served requests that name the subject ("" for none).
    size_t PeerLinesWithSubject(const std::string& subject) const {
        const std::vector<std::string> lines = LogLines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            if (line.rfind(Gbk("客户端：127.0.0.1:"), 0) != 0)
                return false;
            const size_t open = line.find(" [");
            return subject.empty() ? open == std::string::npos
                                   : open != std::string::npos && line.substr(open) == " [" + subject + "]";
        }));
    }
};

struct TTlsClientCase {
    const char* name;
    std::vector<std::string> args; // "@" + a file name: that file of the program directory
    std::string error;             // on standard error
};

} // namespace

TEST_F(TTlsHostTest, OnlyClientsWithACertificateOfTheClientCAAreServed) {
    StartTlsHost(true);
    const TTlsClientCase refused[] = {
        // Refused by the host: under TLS 1.3 its alert may be overtaken by the connection's reset.
        {"no client certificate", {"--tls-ca", "@ca.pem"}, "doorlock-cli: "},
        {"client certificate of another CA",
         {"--tls-ca", "@ca.pem", "--tls-cert", "@other/client.pem", "--tls-key", "@other/client.key"},
         "doorlock-cli: "},
        {"plain text", {}, "doorlock-cli: "},
        // The client's own checks of the host.
        {"host not of the trusted CA",
         {"--tls-ca", "@other/ca.pem", "--tls-cert", "@client.pem", "--tls-key", "@client.key"},
         "TLS handshake with 127.0.0.1:"},
        {"host name not in the certificate",
         {"--tls-ca", "@ca.pem", "--tls-cert", "@client.pem", "--tls-key", "@client.key", "--tls-name",
          "desk.example"},
         "hostname mismatch"},
        {"key of another certificate",
         {"--tls-ca", "@ca.pem", "--tls-cert", "@client.pem", "--tls-key", "@host.key"},
         "does not match the certificate"},
    };
    size_t served = 0;
    for (const TTlsClientCase& c : refused) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        for (std::string& arg : args)
            if (arg.front() == '@')
                arg = m_sandbox.File(arg.substr(1));
        const TCliRun run = ReadCard(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.output, "");
        EXPECT_NE(run.errors.find(c.error), std::string::npos) << run.errors;
        // The host keeps serving the hotel system.
        const TCliRun good = ReadCard(ClientCertificate());
        EXPECT_EQ(good.status, 0) << good.errors;
        EXPECT_NE(good.output.find("<ResultCode>200</ResultCode>"), std::string::npos) << good.output;
        ++served;
    }
    // Only the served requests were read; the refusals are logged like refused addresses, at most once a
    // minute per address (the start-up probe's was the first).
    EXPECT_EQ(LogLinesStartingWith(Gbk("收到消息: ")), served);
    EXPECT_EQ(LogLinesStartingWith(Gbk("拒绝来自 127.0.0.1 的连接（TLS：")), 1u);
    EXPECT_EQ(PeerLinesWithSubject("CN=hotel-system,O=Hotel"), served);
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(TTlsHostTest, WithoutClientCAAnyoneMayConnectAndTheStartWarns) {
    StartTlsHost(false);
    const TCliRun run = ReadCard({"--tls-ca", m_sandbox.File("ca.pem")});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.output.find("<ResultCode>200</ResultCode>"), std::string::npos);
    EXPECT_EQ(LogLinesStartingWith(Gbk("警告：TLS 已启用但未设置 TlsClientCA")), 1u);
    EXPECT_NE(m_host->Output().find(Utf8(Gbk("警告：TLS 已启用但未设置 TlsClientCA"))), std::string::npos);
    // Nothing to name: the client showed no certificate.
    EXPECT_EQ(PeerLinesWithSubject(""), 1u);
}

// The recipe of docs/securing-the-link.md for a hotel system that speaks only plain TCP: a stunnel client on
// its machine.
TEST_F(TTlsHostTest, PlainClientThroughAStunnelClient) {
    const std::string stunnel = "/usr/bin/stunnel4";
    if (!std::filesystem::exists(stunnel))
        GTEST_SKIP() << "stunnel4 is not installed (scripts/install-deps.sh installs it)";
    StartTlsHost(true);
    const int localPort = FreeTcpPort();
    WriteFileBytes(m_sandbox.File("stunnel.conf"),
                   "foreground = yes\n"
                   "pid =\n"
                   "[doorlock]\n"
                   "client = yes\n"
                   "accept = 127.0.0.1:" +
                       std::to_string(localPort) + "\nconnect = 127.0.0.1:" + std::to_string(m_port) +
                       "\nverifyChain = yes\ncheckIP = 127.0.0.1\nCAfile = " + m_sandbox.File("ca.pem") +
                       "\ncert = " + m_sandbox.File("client.pem") +
                       "\nkey = " + m_sandbox.File("client.key") + "\n");
    TRunningProgram tunnel(stunnel, {m_sandbox.File("stunnel.conf")});
    ASSERT_TRUE(WaitFor([&] { return TLoopbackClient().Connect(localPort); })) << tunnel.Errors();
    const TCliRun run = RunCli(localPort, {"read"});
    EXPECT_EQ(run.status, 0) << run.errors << tunnel.Errors();
    EXPECT_NE(run.output.find("<ResultCode>200</ResultCode>"), std::string::npos);
    // The probe above went through the tunnel as well, but sent no request: only the request is attributed.
    EXPECT_EQ(PeerLinesWithSubject("CN=hotel-system,O=Hotel"), 1u);
    EXPECT_EQ(LogLinesStartingWith(Gbk("收到消息: ")), 1u);
}
