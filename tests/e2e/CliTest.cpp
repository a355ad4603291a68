#include "DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/TlsUnit.h"
#include "records/RecordBackendsUnit.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <soci/soci.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace std::string_literals;

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
    // hold (the check cli_locales runs this under Wine with the Chinese and a Western one). The runner
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
    // The card taken off the encoder: the issue fails, and its row says so.
    std::filesystem::remove(m_sandbox.File("SimCard.bin"));
    ASSERT_EQ(RunCli(m_port, {"issue", "0816", "--checkin", "2026-12-29 12:00:00", "--checkout",
                              "2026-12-31 14:30:00", "--register", "R2"})
                  .status,
              1);

    // Read while the host still runs and holds the store open.
    TCliRun csv =
        RunCli(m_port, {"records", "--dir", m_sandbox.Path().string(), "--room", "01010816", "--csv"});
    EXPECT_EQ(csv.status, 0);
    // The operation times are the host's clock and the sources the client's port (the records test looks at
    // those); the rest is fixed. Newest first: the failed issue, then the copy.
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
    EXPECT_EQ(
        text,
        "\xEF\xBB\xBF操作时间,房间,卡号,结果,类型,开始时间,离店时间,客人姓名,登记号,来源\r\n"
        "T,01010816,0,失败,新卡,2026-12-29 12:00:00,2026-12-31 14:30:00,Guest,R2,\r\n"
        "T,01010816,816123114,成功,复制卡,2026-12-29 12:00:00,2026-12-31 14:30:00,\"Li, \"\"Si\"\"\",,\r\n"
        "T,01010816,816123114,成功,新卡,2026-12-29 12:00:00,2026-12-31 14:30:00,张三,R1,\r\n");
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[0], times[1]);
    EXPECT_GE(times[1], times[2]);

    TCliRun table =
        RunCli(m_port, {"records", "--dir", m_sandbox.Path().string(), "--from", "2000-01-01 00:00:00"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.output.find("房间       卡号       结果   类型"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("01010817   817123114  成功   新卡"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("01010816   0          失败   新卡"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("共 4 条\n"), std::string::npos) << table.output;

    EXPECT_EQ(RunCli(m_port, {"records", "--dir", m_sandbox.File("missing")}).status, 2);
}

// A backup never writes into what is there, and leaves nothing behind when it refuses.
TEST(CliTest, BackupRefusesAnExistingTargetAndADirectoryWithoutItsDatabase) {
    struct TCase {
        const char* name;
        void (*prepare)(const std::string& desk, const std::string& dest);
        std::vector<std::string>
            args; // after "backup"; "@desk", "@dest" and "@empty" stand for those folders
        int status;
        std::string error;
    };
    const TCase cases[] = {
        {"DEST is a folder",
         [](const std::string&, const std::string& dest) { std::filesystem::create_directory(dest); },
         {"--dir", "@desk", "@dest"},
         1,
         "dest: already exists; name a new folder"},
        {"DEST is a file",
         [](const std::string&, const std::string& dest) { WriteFileBytes(dest, "x"); },
         {"--dir", "@desk", "@dest"},
         1,
         "dest: already exists"},
        {"DEST.partial left by another backup",
         [](const std::string&, const std::string& dest) {
             std::filesystem::create_directory(dest + ".partial");
         },
         {"--dir", "@desk", "@dest"},
         1,
         "dest.partial: already exists"},
        {"no Client.db", nullptr, {"--dir", "@empty", "@dest"}, 1, "has no Client.db"},
#ifndef _WIN32
        {"DEST is a dangling link",
         [](const std::string& desk, const std::string& dest) {
             std::filesystem::create_symlink(desk + "/nowhere", dest);
         },
         {"--dir", "@desk", "@dest"},
         1,
         "dest: already exists"},
        {"Client.db is a link",
         [](const std::string& desk, const std::string&) {
             std::filesystem::rename(desk + "/Client.db", desk + "/real.db");
             std::filesystem::create_symlink(desk + "/real.db", desk + "/Client.db");
         },
         {"--dir", "@desk", "@dest"},
         1,
         "Client.db: is a symbolic link"},
#endif
        // A damaged database gives a damaged copy, which its check finds: nothing is kept of it.
        {"Client.db damaged",
         [](const std::string& desk, const std::string&) {
             const std::string file = desk + "/Client.db";
             std::filesystem::remove(file);
             {
                 RegisterLinkedBackends();
                 soci::session db("sqlite3", "db=" + file);
                 db << "create table T_IssueCardRecord(GuestName TEXT)";
                 db << "create index IX_Guest on T_IssueCardRecord(GuestName)";
                 for (int i = 0; i < 300; ++i)
                     db << "insert into T_IssueCardRecord values('" + std::string(100, 'a' + i % 26) + "')";
             }
             std::string bytes = ReadFileBytes(file);
             // Inside the table's and the index's pages, past the file's header page.
             for (size_t at = 4096 + 100; at + 8 < bytes.size(); at += 4096)
                 bytes.replace(at, 8, "\x0d\x00\x00\x00\xFF\xFF\xFF\xFF");
             WriteFileBytes(file, bytes);
         },
         {"--dir", "@desk", "@dest"},
         1,
         "integrity_check: "},
        {"no DEST", nullptr, {"--dir", "@desk"}, 2, "backup needs the new folder to write (DEST)"},
        {"two DESTs", nullptr, {"--dir", "@desk", "@dest", "@dest"}, 2, "unknown backup argument"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const std::string desk = sandbox.File("desk");
        const std::string dest = sandbox.File("dest");
        std::filesystem::create_directory(desk);
        std::filesystem::create_directory(sandbox.File("empty"));
        WriteFileBytes(desk + "/Client.db", "");
        if (c.prepare != nullptr)
            c.prepare(desk, dest);
        const bool destThere = std::filesystem::exists(std::filesystem::symlink_status(dest));
        const bool partialThere = std::filesystem::exists(dest + ".partial");
        std::vector<std::string> args = {"backup"};
        for (const std::string& arg : c.args)
            args.push_back(arg[0] == '@' ? sandbox.File(arg.substr(1)) : arg);
        const TCliRun run = RunCli(FreeTcpPort(), args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.errors.find(c.error), std::string::npos) << run.errors;
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(dest)), destThere);
        EXPECT_EQ(std::filesystem::exists(dest + ".partial"), partialThere);
    }
}

namespace {

// Appends bytes to a file, as the host's writer does.
void AppendFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(FileSystemPath(path), std::ios::binary | std::ios::app) << bytes;
}

std::string LogDate(TDateTime day) {
    return FormatDateTime("yyyymmdd", day);
}

} // namespace

// A log of an old host or an edited file holds any byte: every line after the bad ones is still printed, and
// no control byte reaches the terminal.
TEST(CliTest, LogPrintsEveryLineAndNoControlByte) {
    TSandbox sandbox;
    const std::string dir = sandbox.Path().string();
    WriteFileBytes(sandbox.File("20260301.LOG"),
                   "2026-03-01 10:00:00 \xB4\xAE\xBF\xDA\r\n"
                   "2026-03-01 10:00:01 \x1B[2A\x1B]0;title\x07 \x08\x7F"s +
                       "\0"s +
                       " \x80 \xAA\xA1 \x81\r\n"
                       "\xB4\x30 \xB4\x7F \x9B\x31\x41 x\ry\nz \xC2\x85 \xE2\x80\xAE \xFF\x81\r\n"
                       "2026-03-01 10:00:02 after one\r\n"
                       "after two \x0C\x0E\x1F\r\n"
                       "2026-03-01 10:00:03 last\x81");
    TCliRun run = RunCli(FreeTcpPort(), {"log", "--dir", dir, "--date", "20260301"});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output, "2026-03-01 10:00:00 串口\n"
                          "2026-03-01 10:00:01 \\x1b[2A\\x1b]0;title\\x07 \\x08\\x7f\\x00 € \uE000 \\x81\n"
                          "\\xb40 \\xb4\\x7f \\x9b1A x\\x0dy\\x0az \u805F \u9225\\xae \uF8F5\\x81\n"
                          "2026-03-01 10:00:02 after one\n"
                          "after two \\x0c\\x0e\\x1f\n"
                          "2026-03-01 10:00:03 last\\x81\n");
    for (char c : run.output)
        EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t') << static_cast<int>(c);

    TCliRun missing = RunCli(FreeTcpPort(), {"log", "--dir", dir, "--date", "20260302"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.errors.find("20260302.LOG"), std::string::npos) << missing.errors;
    EXPECT_EQ(missing.output, "");
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"log", "--dir", dir, "--date", "20260230"},
                                               {"log", "--dir", dir, "--date", "2026-03-01"},
                                               {"log", "--dir", dir, "--date", "202603011"},
                                               {"log", "--dir", dir, "--peer", "127.0.0.1:5"},
                                               {"log", "--dir"},
                                               {"log", "--dir", dir, "--tail"}})
        EXPECT_EQ(RunCli(FreeTcpPort(), bad).status, 2) << bad.back();
}

TEST_F(TDoorlockHostTest, CliLogShowsTheEntriesOfOnePeer) {
    StartHost();
    const std::string fromTwo = "<DoorRequest type=\"ReadCard\"><RequestID>two</RequestID></DoorRequest>";
    const std::string fromOne = "<DoorRequest type=\"ReadCard\"><RequestID>one</RequestID></DoorRequest>";
    EXPECT_NE(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.2"), Framed(fromTwo)).find("ResultCode"),
              std::string::npos);
    EXPECT_NE(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.1"), Framed(fromOne)).find("ResultCode"),
              std::string::npos);
    ASSERT_TRUE(WaitFor([&] { return LogText().find("<RequestID>one") != std::string::npos; }));
    // The host's file, whatever the date was when it started.
    std::string date;
    for (const auto& entry : std::filesystem::directory_iterator(m_sandbox.Path()))
        if (entry.path().extension() == ".LOG")
            date = entry.path().stem().string();
    ASSERT_EQ(date.size(), 8u);

    TCliRun two =
        RunCli(m_port, {"log", "--dir", m_sandbox.Path().string(), "--date", date, "--peer", "127.0.0.2"});
    EXPECT_EQ(two.status, 0) << two.errors;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = two.output.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(two.output.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u) << two.output;
    EXPECT_NE(lines[0].find(" 客户端：127.0.0.2:"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" 收到消息: "), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], fromTwo);

    // Without --peer: both entries and the host's own lines.
    TCliRun all = RunCli(m_port, {"log", "--dir", m_sandbox.Path().string(), "--date", date});
    EXPECT_NE(all.output.find(fromOne), std::string::npos);
    EXPECT_NE(all.output.find(fromTwo), std::string::npos);
    EXPECT_GT(all.output.size(), two.output.size() + fromOne.size() + 60);
}

// --follow prints what is appended after it started, goes on to the next day's file once there is one, and
// ends on a stop signal or once its output is closed.
TEST(CliTest, LogFollowsTheFileAndTheNextDay) {
    TSandbox sandbox;
    const std::string dir = sandbox.Path().string();
    const std::string yesterday = sandbox.File(LogDate(Now() - 1) + ".LOG");
    WriteFileBytes(yesterday, "2026-03-01 23:59:58 first\r\n");
    TRunningProgram follow(BuildProgram("doorlock-cli"),
                           {"log", "--dir", dir, "--date", LogDate(Now() - 1), "--follow"});
    ASSERT_TRUE(follow.WaitForOutput("first\n")) << follow.Errors();
    AppendFileBytes(yesterday, "2026-03-01 23:59:59 appe");
    AppendFileBytes(yesterday, "nded \x1B[2J\r\n");
    ASSERT_TRUE(follow.WaitForOutput("appended \\x1b[2J\n")) << follow.Output();
    const std::string today = sandbox.File(LogDate(Now()) + ".LOG");
    AppendFileBytes(yesterday, "2026-03-01 23:59:59 the last of the day\r\n");
    WriteFileBytes(today, "2026-03-02 00:00:00 next day\r\n");
    ASSERT_TRUE(follow.WaitForOutput("next day\n")) << follow.Output();
    AppendFileBytes(today, "2026-03-02 00:00:01 later\r\n");
    ASSERT_TRUE(follow.WaitForOutput("later\n")) << follow.Output();
    EXPECT_EQ(follow.Stop(SIGTERM), 0);
    EXPECT_EQ(follow.Output(), "2026-03-01 23:59:58 first\n2026-03-01 23:59:59 appended \\x1b[2J\n"
                               "2026-03-01 23:59:59 the last of the day\n2026-03-02 00:00:00 next day\n"
                               "2026-03-02 00:00:01 later\n");

    // `doorlock-cli log --follow | head -1`: the next line's write fails, and the program ends.
    TRunningProgram head(BuildProgram("doorlock-cli"), {"log", "--dir", dir, "--follow"},
                         {.firstLineOnly = true});
    ASSERT_TRUE(head.WaitForOutput("next day\n")) << head.Errors();
    // A line at a time until it has gone: the first may reach the pipe before the runner closes it.
    EXPECT_TRUE(WaitFor([&] {
        AppendFileBytes(today, "2026-03-02 00:00:02 one more\r\n");
        return head.Wait(std::chrono::milliseconds(100)) != -1;
    }));
    EXPECT_EQ(head.Wait(), 0);
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
    void StartTlsHost(bool clientCA, const std::string& sysOptions = "") {
        StartHost("", true,
                  "TlsCertificate=host.pem\r\nTlsPrivateKey=host.key\r\n" +
                      std::string(clientCA ? "TlsClientCA=ca.pem\r\n" : "") + sysOptions);
    }
    // The start's lines up to the open-port warning, which ends them.
    std::string StartOutput() const {
        WaitFor([&] {
            const std::string output = m_host->Output();
            const size_t open = output.find("AllowedClients");
            return open != std::string::npos && output.find('\n', open) != std::string::npos;
        });
        return m_host->Output();
    }
    // The line that says TLS is on, for the host certificate of the program directory.
    std::string TlsOnLine(bool clientCA) const {
        const auto context =
            TTlsContext::ForServer(m_sandbox.File("host.pem"), m_sandbox.File("host.key"), "");
        return "TLS 已启用：主机证书 CN=127.0.0.1,O=Hotel，有效期至 " +
               FormatDateTime("yyyy-mm-dd", context->Certificate().NotAfter) +
               (clientCA ? "；客户端必须出示 TlsClientCA 签发的证书\n" : "；客户端无须出示证书\n");
    }
    std::vector<std::string> ClientCertificate() const {
        return {"--tls-ca",  m_sandbox.File("ca.pem"),    "--tls-cert", m_sandbox.File("client.pem"),
                "--tls-key", m_sandbox.File("client.key")};
    }
    TCliRun ReadCard(std::vector<std::string> args) {
        args.push_back("read");
        return RunCli(m_port, args);
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
    // The start says what guards the port: its certificate, that clients must show one, and so who may send
    // requests although everyone may connect.
    EXPECT_EQ(StartOutput(), "门锁接口监听服务器已经启动...\n" + TlsOnLine(true) +
                                 "警告：未设置 AllowedClients，每台计算机都可以连到端口 " +
                                 std::to_string(m_port) +
                                 "，但只有持有 TlsClientCA 签发的证书的客户端可以发送请求。\n");
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
    EXPECT_EQ(CountLinesStartingWith(LogLines(), Gbk("收到消息: ")), served);
    EXPECT_EQ(CountLinesStartingWith(LogLines(), Gbk("拒绝来自 127.0.0.1 的连接（TLS：")), 1u);
    EXPECT_EQ(PeerLinesWithSubject("CN=hotel-system,O=Hotel"), served);
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(TTlsHostTest, WithoutClientCAAnyoneMayConnectAndTheStartWarns) {
    StartTlsHost(false);
    EXPECT_EQ(StartOutput(),
              "门锁接口监听服务器已经启动...\n" + TlsOnLine(false) +
                  "警告：TLS 已启用但未设置 TlsClientCA，任何能连到端口的计算机都可以请求制卡；"
                  "请在 [SysOption] 中设置 TlsClientCA\n警告：未设置 AllowedClients，能连到端口 " +
                  std::to_string(m_port) + " 的每台计算机都可以发送请求（包括发卡）。\n");
    const TCliRun run = ReadCard({"--tls-ca", m_sandbox.File("ca.pem")});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.output.find("<ResultCode>200</ResultCode>"), std::string::npos);
    EXPECT_EQ(CountLinesStartingWith(LogLines(), Gbk("警告：TLS 已启用但未设置 TlsClientCA")), 1u);
    EXPECT_NE(m_host->Output().find(Utf8(Gbk("警告：TLS 已启用但未设置 TlsClientCA"))), std::string::npos);
    // Nothing to name: the client showed no certificate.
    EXPECT_EQ(PeerLinesWithSubject(""), 1u);
}

TEST_F(TTlsHostTest, CertificatesOutOfTheirTimeWarnAtTheStart) {
    SetEnvironment("HOST_DAYS", "-1");
    const bool made = MakeCertificates(m_sandbox.Path().string());
    SetEnvironment("HOST_DAYS", nullptr);
    ASSERT_TRUE(made);
    // Also a list that names every address is no list: the warning says so.
    StartTlsHost(true, "AllowedClients=127.0.0.1, 0.0.0.0/0\r\n");
    const std::string output = StartOutput();
    const std::string expired = "警告：主机证书（TlsCertificate）CN=127.0.0.1,O=Hotel 已于 ";
    const size_t at = output.find(expired);
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_NE(output.find("过期，客户端将拒绝连接；请更换证书\n", at), std::string::npos) << output;
    EXPECT_EQ(CountLinesStartingWith(LogLines(), Gbk(expired)), 1u);
    // The CA is good for years: only the host's certificate is named.
    EXPECT_EQ(output.find("TlsClientCA）"), std::string::npos) << output;
    EXPECT_NE(output.find("警告：AllowedClients 包含所有地址，每台计算机都可以连到端口 " +
                          std::to_string(m_port) +
                          "，但只有持有 TlsClientCA 签发的证书的客户端可以发送请求。\n"),
              std::string::npos)
        << output;
}

TEST_F(TTlsHostTest, AFifoInPlaceOfATlsFileStopsTheStartAtOnce) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFO on Windows";
#else
    ASSERT_EQ(mkfifo(m_sandbox.File("pipe.pem").c_str(), 0600), 0);
    for (const char* setting : {"TlsCertificate", "TlsPrivateKey", "TlsClientCA"}) {
        SCOPED_TRACE(setting);
        const std::string files =
            "TlsCertificate=host.pem\r\nTlsPrivateKey=host.key\r\nTlsClientCA=ca.pem\r\n";
        std::string options;
        for (size_t start = 0, end; (end = files.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = files.substr(start, end - start);
            options += line.rfind(setting, 0) == 0 ? std::string(setting) + "=pipe.pem\r\n" : line + "\r\n";
        }
        WriteFileBytes(m_sandbox.File("Option.ini"),
                       "[SysOption]\r\nDoorlockPortNo=" + std::to_string(FreeTcpPort()) + "\r\n" + options);
        TRunningProgram host(BuildProgram("doorlock-host"),
                             {"--headless", "--dir", m_sandbox.Path().string()});
        // Opened by its name, the FIFO would hold the start until someone wrote to it, deaf to a stop.
        EXPECT_EQ(host.Wait(std::chrono::seconds(10)), 1);
        EXPECT_NE(host.Errors().find("pipe.pem' (" + std::string(setting) + "): "), std::string::npos)
            << host.Errors();
    }
#endif
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
    EXPECT_EQ(CountLinesStartingWith(LogLines(), Gbk("收到消息: ")), 1u);
}
