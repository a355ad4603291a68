#include "DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "server/LogFileUnit.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <iconv.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

namespace {

const std::string kResponse816 =
    "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>"
    "发卡成功</ResultMessage><CardNo>816123114</CardNo></DoorResponse>";

std::vector<std::string> Tail(const std::vector<std::string>& lines, size_t from) {
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(from, lines.size())),
                                    lines.end());
}

#ifndef _WIN32
// The service manager's end of the notification socket: a datagram socket in the abstract namespace.
class TNotifySocket {
public:
    TNotifySocket() : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const std::string name = "doorlock-notify-" + std::to_string(::getpid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path + 1, sizeof address.sun_path - 2);
        const timeval timeout{20, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (m_fd < 0 ||
            ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0)
            throw std::runtime_error("no notification socket");
        m_name = "@" + name;
    }
    ~TNotifySocket() { ::close(m_fd); }
    const std::string& Name() const { return m_name; }
    // The next message; empty when none came in time.
    std::string Receive() {
        char buffer[512];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    int m_fd;
    std::string m_name;
};
#endif

} // namespace

TEST_F(TDoorlockHostTest, IssueCardWritesTheCardAnswersAndLogsInOrder) {
    StartHost();
    size_t before = LogLines().size();
    std::string request = IssueCardRequest();
    EXPECT_EQ(Send(request), Framed(kResponse816));

    std::string card = SimCard();
    ASSERT_EQ(card.size(), 256u);
    EXPECT_EQ(card.substr(0, 6), std::string("\x11\x08\x16\x12\x31\x14", 6));
    EXPECT_EQ(card.substr(6), std::string(250, '\xFF'));

    // Who asked comes first: the peer's address and port.
    std::vector<std::string> expected = {Gbk("收到消息: "),
                                         request,
                                         Gbk("执行操作->"),
                                         "s110816123114",
                                         Gbk("发卡成功,卡号为:816123114"),
                                         Gbk("房间(0816)发卡成功"),
                                         Gbk("完成一次操作")};
    std::vector<std::string> lines = Tail(LogLines(), before);
    ASSERT_GE(lines.size(), expected.size() + 1);
    EXPECT_EQ(lines[0].rfind(Gbk("客户端：127.0.0.1:"), 0), 0u) << Utf8(lines[0]);
    EXPECT_GT(std::stoi(lines[0].substr(Gbk("客户端：127.0.0.1:").size())), 0);
    lines.erase(lines.begin());
    lines.resize(expected.size());
    EXPECT_EQ(lines, expected);

    EXPECT_EQ(StopHost(), 0);
    EXPECT_NE(m_host->Output().find("接口监听服务器已经停止。"), std::string::npos);
}

TEST_F(TDoorlockHostTest, StartUpLogsTheEncoderAndThePort) {
    StartHost();
    std::string log = LogText();
    EXPECT_NE(log.find(Gbk("串口打开成功: COM1")), std::string::npos);
    EXPECT_NE(log.find(Gbk("模拟发卡器")), std::string::npos);
    // Nobody set AllowedClients: the start says once, on standard output and in the log, who may connect.
    const std::string warning = "警告：未设置 AllowedClients，能连到端口 " + std::to_string(m_port) +
                                " 的每台计算机都可以发送请求（包括发卡）。";
    const std::string output = "门锁接口监听服务器已经启动...\n" + warning + "\n";
    WaitFor([&] { return m_host->Output() == output; });
    EXPECT_EQ(m_host->Output(), output);
    EXPECT_EQ(CountLines(LogLines(), Gbk(warning.c_str())), 1u);
}

TEST_F(TDoorlockHostTest, AllowedClientsThatHoldEveryAddressWarnAsNoneDo) {
    struct TCase {
        std::string allowed;
        bool warns;
    };
    const TCase cases[] = {
        {"0.0.0.0/0", true},
        {"10.0.0.1, 0.0.0.0/0", true},
        // Together every address, in any order, overlapping.
        {"128.0.0.0/1, 127.0.0.1, 0.0.0.0/1", true},
        {"0.0.0.0/1, 192.0.0.0/2, 128.0.0.0/2", true},
        // One address short of all.
        {"0.0.0.0/1, 128.0.0.0/2, 192.0.0.0/3, 224.0.0.0/4, 240.0.0.0/5, 248.0.0.0/6, 252.0.0.0/7, "
         "254.0.0.0/8, 255.0.0.0/9, 255.128.0.0/10, 255.192.0.0/11, 255.224.0.0/12, 255.240.0.0/13, "
         "255.248.0.0/14, 255.252.0.0/15, 255.254.0.0/16, 255.255.0.0/17, 255.255.128.0/18, "
         "255.255.192.0/19, 255.255.224.0/20, 255.255.240.0/21, 255.255.248.0/22, 255.255.252.0/23, "
         "255.255.254.0/24, 255.255.255.0/25, 255.255.255.128/26, 255.255.255.192/27, 255.255.255.224/28, "
         "255.255.255.240/29, 255.255.255.248/30, 255.255.255.252/31, 255.255.255.254/32",
         false},
        {"127.0.0.0/8, 0.0.0.0/2", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.allowed);
        StartHost("", true, "AllowedClients=" + c.allowed + "\r\n");
        const std::string warning = "警告：AllowedClients 包含所有地址，能连到端口 " +
                                    std::to_string(m_port) + " 的每台计算机都可以发送请求（包括发卡）。";
        // Every line of the start comes before the stop's.
        EXPECT_EQ(StopHost(), 0);
        const std::string output = m_host->Output();
        EXPECT_EQ(output.substr(0, output.find("接口监听服务器已经停止。")),
                  "门锁接口监听服务器已经启动...\n" + (c.warns ? warning + "\n" : ""));
    }
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.rfind(Gbk("警告：AllowedClients 包含所有地址，能连到端口 "), 0) ==
                                       0;
                            }),
              4);
}

TEST_F(TDoorlockHostTest, TellsTheServiceManagerItListensIsAliveAndStops) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows service manager has no notification socket (the next test runs its cycle)";
#else
    TNotifySocket manager;
    SetEnvironment("NOTIFY_SOCKET", manager.Name().c_str());
    SetEnvironment("WATCHDOG_USEC", "200000");
    try {
        StartHost();
    } catch (...) {
        SetEnvironment("NOTIFY_SOCKET", nullptr);
        SetEnvironment("WATCHDOG_USEC", nullptr);
        throw;
    }
    SetEnvironment("NOTIFY_SOCKET", nullptr);
    SetEnvironment("WATCHDOG_USEC", nullptr);
    EXPECT_EQ(manager.Receive(), "READY=1");
    for (int ping = 0; ping < 3; ++ping)
        ASSERT_EQ(manager.Receive(), "WATCHDOG=1");
    ASSERT_EQ(m_host->Stop(SIGTERM), 0);
    std::string message;
    while ((message = manager.Receive()) == "WATCHDOG=1") {
    }
    EXPECT_EQ(message, "STOPPING=1");
#endif
}

// The Windows service cycle as an administrator (or the installer) runs it, through the service manager's own
// tool: registered by full path, started, serving, stopped within the manager's wait, removed.
TEST_F(TDoorlockHostTest, RunsAsAWindowsServiceThatTheManagerStartsAndStops) {
#ifndef _WIN32
    GTEST_SKIP() << "the Windows service control manager exists only on Windows";
#else
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::string sc = FileNameOf(std::filesystem::path(system) / "sc.exe");
    auto run = [&](std::vector<std::string> args) {
        TRunningProgram tool(sc, args);
        const int status = tool.Wait();
        return std::make_pair(status, tool.Output());
    };
    const std::string name = "DoorlockHostTest" + std::to_string(GetCurrentProcessId());
    auto state = [&] { return run({"query", name}).second; };

    m_port = FreeTcpPort();
    WriteFileBytes(m_sandbox.File("Option.ini"), "[SysOption]\r\nListenAddress=127.0.0.1\r\nDoorlockPortNo=" +
                                                     std::to_string(m_port) + "\r\n");
    WriteFileBytes(m_sandbox.File("SimCard.bin"), std::string(256, '\xFF'));
    const std::string binPath =
        "\"" + BuildProgram("doorlock-host") + "\" --service --dir \"" + m_sandbox.Path().string() + "\"";
    ASSERT_EQ(run({"create", name, "binPath=", binPath, "start=", "demand"}).first, 0);
    struct TRemove {
        std::function<void()> remove;
        ~TRemove() { remove(); }
    } removeService{[&] {
        run({"stop", name});
        run({"delete", name});
    }};

    ASSERT_EQ(run({"start", name}).first, 0);
    ASSERT_TRUE(
        WaitFor([&] { return state().find("RUNNING") != std::string::npos; }, std::chrono::seconds(30)))
        << state();
    EXPECT_NE(Send(IssueCardRequest()).find(">200<"), std::string::npos);
    EXPECT_EQ(SimCard().substr(0, 6), std::string("\x11\x08\x16\x12\x31\x14", 6));

    ASSERT_EQ(run({"stop", name}).first, 0);
    ASSERT_TRUE(
        WaitFor([&] { return state().find("STOPPED") != std::string::npos; }, std::chrono::seconds(30)))
        << state();
    // A clean stop: exit code 0, the listener closed.
    const std::string stopped = state();
    EXPECT_NE(stopped.find("WIN32_EXIT_CODE    : 0 "), std::string::npos) << stopped;
    EXPECT_THROW(Exchange(m_port, Framed("<r type=\"ReadCard\"/>"), nullptr, std::chrono::milliseconds(500)),
                 std::exception);
#endif
}

TEST_F(TDoorlockHostTest, BlankCardReadsAsFifteens) {
    StartHost();
    EXPECT_EQ(
        Send("<DoorRequest type=\"ReadCard\"/>"),
        Framed("<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>读卡成功"
               "</ResultMessage><CardNo>15151515</CardNo></DoorResponse>"));
    EXPECT_NE(LogText().find(Gbk("读卡成功，卡号为：15151515")), std::string::npos);
}

TEST_F(TDoorlockHostTest, NoCardOnTheEncoderFailsReadAndIssue) {
    StartHost("", false);
    EXPECT_EQ(
        Send("<r type='ReadCard'/>"),
        Framed("<DoorResponse><RequestID></RequestID><ResultCode>500</ResultCode><ResultMessage>读卡失败"
               "</ResultMessage><CardNo>0</CardNo></DoorResponse>"));
    std::string issued = Send(IssueCardRequest());
    EXPECT_NE(
        issued.find("<ResultCode>500</ResultCode><ResultMessage>发卡失败</ResultMessage><CardNo>0</CardNo>"),
        std::string::npos);
}

TEST_F(TDoorlockHostTest, EraseCardBlanksTheRecord) {
    StartHost();
    Send(IssueCardRequest());
    EXPECT_EQ(
        Send("<r type=\"EraseCard\"/>"),
        Framed("<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode><ResultMessage>注销卡成功 "
               "</ResultMessage><CardNo>0</CardNo></DoorResponse>"));
    EXPECT_EQ(SimCard(), std::string(256, '\xFF'));
}

// Requests the handler must not answer: the connection closes without a byte, the card is untouched, and
// the log shows how far the request got.
struct TUnansweredCase {
    const char* name;
    std::string request;
    std::vector<std::string> logTail; // GBK lines after the received-request lines
};

void PrintTo(const TUnansweredCase& c, std::ostream* os) {
    *os << c.name;
}

class TUnansweredTest : public TDoorlockHostTest, public ::testing::WithParamInterface<TUnansweredCase> {};

TEST_P(TUnansweredTest, NoResponseAndTheRightLogLines) {
    const TUnansweredCase& c = GetParam();
    StartHost();
    size_t before = LogLines().size();
    bool closed = false;
    EXPECT_EQ(Exchange(m_port, Framed(c.request), &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(SimCard(), std::string(256, '\xFF'));
    std::vector<std::string> lines = Tail(LogLines(), before);
    // The peer, "收到消息: " and the request's own line(s), then the tail.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(Gbk("客户端：127.0.0.1:"), 0), 0u);
    EXPECT_EQ(lines[1], Gbk("收到消息: "));
    std::vector<std::string> tail(lines.end() - static_cast<long>(std::min(lines.size(), c.logTail.size())),
                                  lines.end());
    EXPECT_EQ(tail, c.logTail);
}

const std::string kFull = IssueCardRequest();

// The line that gives the reason of a request closed without an answer (GBK).
std::string Unanswered(const std::string& reasonUtf8) {
    return Gbk("请求未应答，连接已关闭：" + reasonUtf8);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TUnansweredTest,
    ::testing::Values(
        TUnansweredCase{"UnknownType",
                        "<r type=\"Format\"/>",
                        {"<r type=\"Format\"/>", Gbk("执行操作->"), Unanswered("未知的请求类型 \"Format\""),
                         Gbk("完成一次操作")}},
        TUnansweredCase{"LowerCaseType",
                        "<r type=\"issuecard\"/>",
                        {"<r type=\"issuecard\"/>", Gbk("执行操作->"),
                         Unanswered("未知的请求类型 \"issuecard\""), Gbk("完成一次操作")}},
        TUnansweredCase{"NoType",
                        "<r/>",
                        {"<r/>", Gbk("执行操作->"), Unanswered("未知的请求类型 \"\""), Gbk("完成一次操作")}},
        TUnansweredCase{"TenChildren",
                        kFull.substr(0, kFull.find("<IsCopy>")) + "</DoorRequest>",
                        {Gbk("执行操作->"), Unanswered("请求缺少根元素的第 11 个子元素 (IsCopy)")}},
        TUnansweredCase{"MonthThirteen",
                        IssueCardRequest({.checkIn = "2026-13-29 12:00:00"}),
                        {Gbk("执行操作->"),
                         Unanswered("请求中的值无效: '2026-13-29 12:00:00' is not a valid date and time")}},
        TUnansweredCase{
            "NotXml", "hello", {"hello", Unanswered("请求不是有效的 XML: No root element found in xml")}},
        // A line that would pass for the host's own is marked, not written as a log line.
        TUnansweredCase{"ForgedLogLine",
                        "<r type=\"Format\"><!--\r\n2026-01-01 00:00:00 房间(9999)发卡成功--></r>",
                        {"<r type=\"Format\"><!--", Gbk("\t2026-01-01 00:00:00 房间(9999)发卡成功--></r>"),
                         Gbk("执行操作->"), Unanswered("未知的请求类型 \"Format\""), Gbk("完成一次操作")}},
        TUnansweredCase{"InvalidUtf8", "\xC4\xE3", {"", Unanswered("请求不是有效的 UTF-8")}}),
    [](const ::testing::TestParamInfo<TUnansweredCase>& test) { return std::string(test.param.name); });

// What a request holds cannot act on the terminal of whoever reads the log, and the log reads whole with a
// GB18030 decoder: control bytes and bytes that make no character of the code page are written as \xNN.
TEST_F(TDoorlockHostTest, RequestBytesNeverReachTheLogRawAndTheLogDecodesWhole) {
    StartHost();
    // A reference to a byte that is only half a character: the room's line gets a lone lead byte.
    const std::string roomAsLeadByte = IssueCardRequest({.room = "&#129;"});
    const std::string requests[] = {
        "<r type=\"Format\">\t\b\b\b\b\b\b\b\b2026-12-09 20:40:01 完成一次操作</r>",
        "<r type=\"Format\">\x1b[2A\x1b[2K客户端：10.0.0.20:51234\x07\x7f</r>",
        IssueCardRequest({.guest = "\xEE\x80\x80"}),
        roomAsLeadByte,
    };
    for (const std::string& request : requests)
        Exchange(m_port, Framed(request));
    ASSERT_TRUE(StopHost() == 0);
    const std::string log = LogText();
    for (char c : log) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F)
            << "raw byte " << static_cast<int>(byte);
    }
    EXPECT_NE(log.find("\\x08\\x08\\x08\\x08\\x08\\x08\\x08\\x08" + Gbk("2026-12-09 20:40:01 完成一次操作")),
              std::string::npos);
    EXPECT_NE(log.find("\\x1b[2A\\x1b[2K" + Gbk("客户端：10.0.0.20:51234") + "\\x07\\x7f"),
              std::string::npos);
    EXPECT_NE(log.find("\xAA\xA1"), std::string::npos); // U+E000 as Windows writes it
    EXPECT_NE(log.find("'\\x81' is not a valid room number"), std::string::npos);
#ifndef _WIN32
    // The log as the guides read it raw: every byte decodes, so no line after a bad one is lost.
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = log, out(log.size() * 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1))
        << "stopped at " << in.size() - inLeft;
    iconv_close(cd);
    EXPECT_EQ(inLeft, 0u);
#endif
}

// One peer's flood of long requests cannot fill the log: past its budget its texts are logged as their
// length. Another peer is served meanwhile, and its request is logged whole under its own peer line.
TEST_F(TDoorlockHostTest, AFloodOfLongRequestsLeavesTheLogSmallWhileAnotherClientIsServed) {
    StartHost();
    const std::string flood = Framed(std::string(16383, 'x'));
    std::vector<std::thread> flooders;
    for (int t = 0; t < 4; ++t) {
        flooders.emplace_back([this, &flood] {
            for (int i = 0; i < 100; ++i)
                Exchange(Connected(m_port, "127.0.0.1", "127.0.0.3"), flood);
        });
    }
    std::string issued;
    for (int i = 0; i < 5; ++i)
        issued = Exchange(Connected(m_port, "127.0.0.1", "127.0.0.2"), Framed(IssueCardRequest()));
    for (std::thread& flooder : flooders)
        flooder.join();
    EXPECT_NE(issued.find("<ResultCode>200</ResultCode>"), std::string::npos);

    // 6.5 MB of text sent; at most two minutes' budgets of it kept, and a few short lines per request.
    EXPECT_LT(std::filesystem::file_size(FileSystemPath(
                  m_sandbox.File(std::filesystem::path(LogFileNameFor(".")).filename().string()))),
              3u * 1024 * 1024);
    const std::vector<std::string> lines = LogLines();
    size_t kept = 0, summarised = 0, notes = 0, issuedUnderItsPeer = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == std::string(16383, 'x'))
            ++kept;
        if (lines[i] == Gbk("收到消息: [16383 字节，未记录]"))
            ++summarised;
        if (lines[i].rfind(Gbk("来自 127.0.0.3 的请求文本本分钟已超过 1024 KB"), 0) == 0)
            ++notes;
        if (lines[i] == "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>R1</RegisterId>"
                        "<RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>08</"
                        "RoomFloorCode><RoomNo>0816</RoomNo>"
                        "<GuestName>Guest</GuestName><CheckInDate>2026-12-29</"
                        "CheckInDate><CheckInTime>12:00:00</CheckInTime>"
                        "<CheckOutDate>2026-12-31</CheckOutDate><CheckOutTime>14:30:00</"
                        "CheckOutTime><IsCopy>0</IsCopy>"
                        "</DoorRequest>" &&
            i >= 2 && lines[i - 1] == Gbk("收到消息: ") &&
            lines[i - 2].rfind(Gbk("客户端：127.0.0.2:"), 0) == 0)
            ++issuedUnderItsPeer;
    }
    EXPECT_EQ(kept + summarised, 400u);
    EXPECT_GE(kept, 64u); // the first minute's budget: 1 MiB holds 64 such texts
    EXPECT_LE(kept, 128u);
    EXPECT_GE(notes, 1u);
    EXPECT_LE(notes, 2u);
    EXPECT_EQ(issuedUnderItsPeer, 5u);
}

// Below the floor of free space (here a floor no disk reaches) request texts are not written, and the start
// says so once; the card operations' lines are.
TEST_F(TDoorlockHostTest, BelowTheLogsFloorOfFreeSpaceTextsAreNotKeptButCardLinesAre) {
    StartHost("", true, "LogMinFreeMB=2000000000\r\n");
    EXPECT_NE(Send(IssueCardRequest()).find("<ResultCode>200<"), std::string::npos);
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>200<"), std::string::npos);
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.rfind(Gbk("日志所在磁盘的可用空间低于 2000000000 MB"), 0) == 0;
                            }),
              1);
    EXPECT_EQ(CountLines(lines, Gbk("收到消息: [20 字节，日志所在磁盘空间不足，未记录]")), 1u);
    EXPECT_EQ(CountLines(lines, "<r type=\"ReadCard\"/>"), 0u);
    EXPECT_EQ(CountLines(lines, Gbk("房间(0816)发卡成功")), 1u);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.rfind(Gbk("读卡成功，卡号为："), 0) == 0; }),
        1);
    EXPECT_EQ(CountLines(lines, Gbk("完成一次操作")), 2u);
    // The operator sees it too, once the output's reader has caught up.
    EXPECT_TRUE(m_host->WaitForOutput("LogMinFreeMB"));
}

// Two clients side by side: each request's text sits right under its own peer line.
TEST_F(TDoorlockHostTest, EveryRequestSitsDirectlyUnderItsOwnPeerLine) {
    StartHost();
    std::vector<std::thread> clients;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        clients.emplace_back([this, from] {
            const std::string request = std::string("<r type=\"ReadCard\" from=\"") + from + "\"/>";
            for (int i = 0; i < 100; ++i)
                Exchange(Connected(m_port, "127.0.0.1", from), Framed(request));
        });
    }
    for (std::thread& client : clients)
        client.join();
    const std::vector<std::string> lines = LogLines();
    size_t underOwn = 0, requests = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("<r type=\"ReadCard\" from=\"", 0) != 0)
            continue;
        ++requests;
        const std::string from = lines[i].substr(25, 9);
        if (i >= 2 && lines[i - 1] == Gbk("收到消息: ") &&
            lines[i - 2].rfind(Gbk("客户端：") + from + ":", 0) == 0)
            ++underOwn;
    }
    EXPECT_EQ(requests, 200u);
    EXPECT_EQ(underOwn, 200u);
}

// Old log files go at the start, named in one line; younger ones, and everything not named like a log, stay.
TEST_F(TDoorlockHostTest, OldLogFilesAreDeletedAtTheStart) {
    const TDateTime now = Now();
    const std::string old = FormatDateTime("yyyymmdd", now - 31) + ".LOG";
    const std::string young = FormatDateTime("yyyymmdd", now - 29) + ".LOG";
    for (const std::string& name : {old, young, std::string("19991231.LOG.txt")})
        WriteFileBytes(m_sandbox.File(name), "x\r\n");
    StartHost("", true, "LogRollover=Daily\r\nLogRetentionDays=30\r\n");
    EXPECT_FALSE(std::filesystem::exists(m_sandbox.File(old)));
    EXPECT_TRUE(std::filesystem::exists(m_sandbox.File(young)));
    EXPECT_TRUE(std::filesystem::exists(m_sandbox.File("19991231.LOG.txt")));
    // Today's file, not whichever .LOG a directory listing gives first.
    EXPECT_EQ(CountLines(LogLinesOf(ReadFileBytes(LogFileNameFor(m_sandbox.Path().string()))),
                         Gbk("已删除超过 30 天的日志文件（LogRetentionDays）：") + old),
              1u);
}

TEST_F(TDoorlockHostTest, FramingLimitsAndPieces) {
    StartHost();
    // Padding before the root is skipped by the reader, so the request stays a ReadCard of the given size.
    auto readCardOfSize = [](size_t size) {
        std::string body = "<r type=\"ReadCard\"/>";
        return std::string(size - body.size(), ' ') + body;
    };
    EXPECT_NE(Send(readCardOfSize(16384)).find("<CardNo>15151515</CardNo>"), std::string::npos);
    bool closed = false;
    EXPECT_EQ(Exchange(m_port, Framed(readCardOfSize(16385)), &closed), "");
    EXPECT_TRUE(closed);
    // Who sent it, and why it got no answer, without its text.
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind(Gbk("客户端：127.0.0.1:"), 0), 0u);
    EXPECT_EQ(lines.back(), Unanswered("请求超过 16384 字节，未读完"));

    // Two requests back to back: only the first is served.
    std::string two = Framed("<r type=\"ReadCard\"/>") + Framed("<r type=\"EraseCard\"/>");
    std::string answer = Exchange(m_port, two);
    EXPECT_NE(answer.find("<CardNo>15151515</CardNo>"), std::string::npos);
    EXPECT_EQ(answer.find("注销"), std::string::npos);
    EXPECT_EQ(SimCard(), std::string(256, '\xFF'));
}

TEST_F(TDoorlockHostTest, ClientClosingRightAfterTheNulStillGetsTheCardWritten) {
    StartHost();
    std::string request = IssueCardRequest();
    {
        // Send and close at once, without reading.
        Exchange(m_port, Framed(request), nullptr, std::chrono::milliseconds(0));
    }
    EXPECT_TRUE(
        WaitFor([&] { return SimCard().substr(0, 6) == std::string("\x11\x08\x16\x12\x31\x14", 6); }));
    EXPECT_TRUE(WaitFor([&] { return LogText().find(Gbk("完成一次操作")) != std::string::npos; }));
}

TEST_F(TDoorlockHostTest, CannotListenExitsWithTheBindMessage) {
    StartHost();
    TRunningProgram second(BuildProgram("doorlock-host"), {"--headless", "--dir", m_sandbox.Path().string()});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Errors().find("Could not bind socket. Address and port are already in use."),
              std::string::npos);
    // It never listened, so it never says it did, nor that it stopped.
    EXPECT_EQ(second.Output(), "");
    // The first host is unaffected.
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("15151515"), std::string::npos);
}

TEST_F(TDoorlockHostTest, CardFileRemovedBetweenRequestsFailsUntilACardIsBack) {
    StartHost();
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find(">200<"), std::string::npos);
    std::filesystem::remove(m_sandbox.File("SimCard.bin"));
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>500</ResultCode><ResultMessage>读卡失败"),
              std::string::npos);
    EXPECT_NE(Send(IssueCardRequest())
                  .find("<ResultCode>500</ResultCode><ResultMessage>发卡失败</ResultMessage><CardNo>0<"),
              std::string::npos);
    EXPECT_NE(Send("<r type=\"EraseCard\"/>").find("<ResultCode>500</ResultCode><ResultMessage>注销卡失败 <"),
              std::string::npos);
    // No request puts a card on the encoder.
    EXPECT_FALSE(std::filesystem::exists(m_sandbox.File("SimCard.bin")));

    WriteFileBytes(m_sandbox.File("SimCard.bin"), std::string(256, '\xFF'));
    EXPECT_NE(Send(IssueCardRequest()).find(">200<"), std::string::npos);
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(TDoorlockHostTest, ReadOnlyLogDirectoryLosesOnlyTheLinesAndTheNextLineCreatesTheLog) {
#ifdef _WIN32
    GTEST_SKIP() << "a directory without write permission still takes new files on Windows";
#endif
    StartHost();
    const std::string log = m_sandbox.File(std::filesystem::path(LogFileNameFor(".")).filename().string());
    ASSERT_TRUE(std::filesystem::exists(log));
    std::filesystem::remove(log);
    {
        TReadOnly readOnly(m_sandbox.Path());
        ASSERT_TRUE(readOnly.Made());
        EXPECT_NE(Send("<r type=\"ReadCard\"/>").find(">200<"), std::string::npos);
        EXPECT_EQ(Send(IssueCardRequest()), Framed(kResponse816));
        EXPECT_FALSE(std::filesystem::exists(log));
    }
    EXPECT_NE(Send("<r type=\"EraseCard\"/>").find(">200<"), std::string::npos);
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind(Gbk("客户端：127.0.0.1:"), 0), 0u); // the peer line comes first
    lines.erase(lines.begin());
    EXPECT_EQ(lines,
              (std::vector<std::string>{Gbk("收到消息: "), "<r type=\"EraseCard\"/>", Gbk("执行操作->"),
                                        Gbk("销卡成功"), Gbk("注销卡成功"), Gbk("完成一次操作")}));
    EXPECT_EQ(StopHost(), 0);
}

namespace {

const std::string kReadCard = Framed("<r type=\"ReadCard\"/>");

} // namespace

TEST_F(TDoorlockHostTest, AllowedClientsRefuseOtherAddressesBeforeReading) {
    // Loopback is 127.0.0.0/8 on Linux, so a client can come from two addresses. The start-up probe from
    // 127.0.0.1 is refused already.
    StartHost("", true, "AllowedClients=127.0.0.2\r\n");
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool closed = false;
        EXPECT_EQ(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.1"), kReadCard, &closed), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_NE(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.2"), kReadCard).find("15151515"),
              std::string::npos);
    std::vector<std::string> lines = LogLines();
    // One line a minute per address, and the refused requests were never read.
    EXPECT_EQ(CountLines(lines, Gbk("拒绝来自 127.0.0.1 的连接")), 1u);
    EXPECT_EQ(CountLines(lines, Gbk("收到消息: ")), 1u);
    EXPECT_EQ(m_host->Output().find("AllowedClients"), std::string::npos); // no warning once it is set
}

TEST_F(TDoorlockHostTest, ListenAddressLeavesTheOtherAddressesClosed) {
    StartHost("", true, "ListenAddress=127.0.0.1\r\n");
    EXPECT_FALSE(TLoopbackClient().Connect(m_port, "127.0.0.2"));
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("15151515"), std::string::npos);
}

TEST_F(TDoorlockHostTest, ConnectionsOverTheCapAreClosedUntilOthersGo) {
    if (!HasPortSockets())
        GTEST_SKIP() << "counts the host's sockets in /proc/net/tcp (Linux only)";
    // Connections still being read have their own cap; one address holds them all here.
    StartHost("", true, "MaxReadingConnections=50\r\n");
    std::vector<TLoopbackClient> idle;
    for (int i = 0; i < 50; ++i)
        idle.push_back(Connected(m_port));
    // All 50 accepted and none of the start-up probe left: exactly 50 are being served.
    ASSERT_TRUE(WaitFor([&] {
        TPortSockets sockets = PortSockets(m_port);
        return sockets.established == 50 && sockets.closeWait == 0 && sockets.acceptQueue == 0;
    }));
    for (int extra = 0; extra < 2; ++extra) {
        bool closed = false;
        EXPECT_EQ(Exchange(m_port, kReadCard, &closed), "");
        EXPECT_TRUE(closed);
    }
    // The held ones are still open.
    for (const TLoopbackClient& client : idle)
        EXPECT_FALSE(client.HasInput());
    EXPECT_EQ(CountLines(LogLines(), Gbk("连接数已达上限(50)，关闭来自 127.0.0.1 的新连接")), 1u);

    // Another address gets in all the same: the oldest of the address that holds them all makes room.
    EXPECT_NE(Exchange(Connected(m_port, "127.0.0.1", "127.0.0.2"), kReadCard).find("15151515"),
              std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return idle.front().HasInput(); }));
    for (size_t i = 1; i < idle.size(); ++i)
        EXPECT_FALSE(idle[i].HasInput());
    EXPECT_EQ(
        CountLines(LogLines(), Gbk("正在接收请求的连接数已达上限(50)，关闭来自 127.0.0.1 的最早的连接")), 1u);

    idle.clear();
    EXPECT_TRUE(
        WaitFor([&] { return Send("<r type=\"ReadCard\"/>").find("15151515") != std::string::npos; }));
}

// A flood from one address cannot take every slot: the hotel system still gets in. No request deadline here,
// so that the 64 held stay held however long a slow machine takes to open the flood (the deadline has its own
// case below).
TEST_F(TDoorlockHostTest, OneAddressCannotHoldTheOthersOut) {
    if (!HasPortSockets())
        GTEST_SKIP() << "holds more sockets than a default descriptor limit elsewhere allows";
#ifndef _WIN32
    // The flood needs more descriptors than a default soft limit gives; the host keeps its own.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlimit saved = files;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    struct TRestoreLimit {
        rlimit limit;
        ~TRestoreLimit() { setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};
    const size_t flood = std::min<size_t>(1030, files.rlim_cur > 100 ? files.rlim_cur - 100 : 0);
#else
    const size_t flood = 1030;
#endif
    ASSERT_GT(flood, 64u + 100u) << "too few file descriptors";
    StartHost("", true, "RequestTimeout=0\r\n");
    // Four at a time, as a flood would come.
    std::vector<std::vector<TLoopbackClient>> parts(4);
    std::vector<std::thread> connecting;
    for (size_t part = 0; part < parts.size(); ++part) {
        connecting.emplace_back([&, part] {
            for (size_t i = part; i < flood; i += parts.size()) {
                TLoopbackClient client;
                if (client.Connect(m_port, "127.0.0.1", "127.0.0.2"))
                    parts[part].push_back(std::move(client));
            }
        });
    }
    for (std::thread& thread : connecting)
        thread.join();
    std::vector<TLoopbackClient> idle;
    for (auto& part : parts)
        std::move(part.begin(), part.end(), std::back_inserter(idle));
    ASSERT_EQ(idle.size(), flood);
    // All but the 64 that address may hold are closed unread.
    auto closedByHost = [&] {
        return std::count_if(idle.begin(), idle.end(), [](const TLoopbackClient& c) { return c.HasInput(); });
    };
    EXPECT_TRUE(
        WaitFor([&] { return closedByHost() == static_cast<long>(flood - 64); }, std::chrono::seconds(60)));
    std::string answer = Send(IssueCardRequest());
    EXPECT_NE(answer.find("<ResultCode>200</ResultCode>"), std::string::npos) << answer;
    EXPECT_EQ(CountLines(LogLines(), Gbk("来自 127.0.0.2 的连接数已达上限(64)，关闭新连接")), 1u);
}

TEST_F(TDoorlockHostTest, SilentConnectionIsClosedAtTheRequestTimeout) {
    StartHost("", true, "RequestTimeout=1\r\n");
    TLoopbackClient silent = Connected(m_port);
    std::string bytes;
    const TReadEnd end = silent.ReadToClose(std::chrono::seconds(60), &bytes);
    EXPECT_TRUE(end == TReadEnd::Closed || end == TReadEnd::Reset);
    EXPECT_EQ(bytes, "");
    EXPECT_TRUE(
        WaitFor([&] { return CountLines(LogLines(), Gbk("接收请求超时，关闭来自 127.0.0.1 的连接")) == 1; }));
    // Requests that come at once are served as before.
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("15151515"), std::string::npos);
}

// Settings the listener cannot start with end the headless host like a taken port: exit 1, the reason on
// standard error.
struct TStartFailureCase {
    const char* name;
    std::string sysOptions;
    std::string error;
    bool certificates = false; // the program directory holds those of MakeCertificates
    // Changes the program directory after Option.ini is written: a front-desk account's doing.
    void (*prepare)(const std::string& dir) = nullptr;
};

void PrintTo(const TStartFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class TStartFailureTest : public TDoorlockHostTest,
                          public ::testing::WithParamInterface<TStartFailureCase> {};

TEST_P(TStartFailureTest, ExitsOneWithTheReason) {
    const TStartFailureCase& c = GetParam();
    if (c.certificates && !MakeCertificates(m_sandbox.Path().string()))
        GTEST_SKIP() << "scripts/make-certs.sh cannot run here";
    WriteFileBytes(m_sandbox.File("Option.ini"),
                   "[SysOption]\r\nDoorlockPortNo=" + std::to_string(FreeTcpPort()) + "\r\n" + c.sysOptions);
    if (c.prepare != nullptr)
        c.prepare(m_sandbox.Path().string());
    TRunningProgram host(BuildProgram("doorlock-host"), {"--headless", "--dir", m_sandbox.Path().string()});
    EXPECT_EQ(host.Wait(), 1);
    EXPECT_NE(host.Errors().find(c.error), std::string::npos) << host.Errors();
    // Nothing listened: the failure alone, no start line, nor the lines that follow it, nor a stop line.
    EXPECT_EQ(host.Output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TStartFailureTest,
    ::testing::Values(
        TStartFailureCase{"MalformedAllowedClients", "AllowedClients=127.0.0.1, 10.0.0.0/33\r\n",
                          "'10.0.0.0/33' is not a valid IPv4 address or range (AllowedClients)\n"},
        TStartFailureCase{"MalformedListenAddress", "ListenAddress=localhost\r\n",
                          "'localhost' is not a valid IPv4 address (ListenAddress)\n"},
        TStartFailureCase{"UnknownLogRollover", "LogRollover=Weekly\r\n",
                          "'Weekly' is not a valid log rollover, Daily or None (LogRollover)\n"},
        TStartFailureCase{
            "UnknownRecordRetention",
            "[DoorlockOption]\r\nRecordRetentionDays=30\r\nRecordRetention=Archive\r\n",
            "'Archive' is not a valid record retention, Delete or Anonymise (RecordRetention)\n"},
        // TLS files are named relative to the program directory.
        TStartFailureCase{"MissingTlsCertificate", "TlsCertificate=missing.pem\r\nTlsPrivateKey=host.key\r\n",
                          "missing.pem' (TlsCertificate): No such file or directory\n", true},
        TStartFailureCase{"MissingTlsPrivateKey", "TlsCertificate=host.pem\r\nTlsPrivateKey=missing.key\r\n",
                          "missing.key' (TlsPrivateKey): No such file or directory\n", true},
        TStartFailureCase{"TlsKeyOfAnotherCertificate",
                          "TlsCertificate=host.pem\r\nTlsPrivateKey=client.key\r\n",
                          "client.key' does not match the certificate in '", true},
        TStartFailureCase{"TlsCertificateNotPem", "TlsCertificate=host.key\r\nTlsPrivateKey=host.key\r\n",
                          "host.key' holds no PEM certificate (TlsCertificate)\n", true},
        TStartFailureCase{"TlsCertificateWithoutKey", "TlsCertificate=host.pem\r\n",
                          "TlsCertificate needs the file of its private key (TlsPrivateKey)\n", true},
        TStartFailureCase{"TlsClientCAWithoutCertificate", "TlsClientCA=ca.pem\r\n",
                          "TlsClientCA and TlsPrivateKey need TlsCertificate (TlsCertificate)\n", true},
        TStartFailureCase{"MissingTlsClientCA",
                          "TlsCertificate=host.pem\r\nTlsPrivateKey=host.key\r\nTlsClientCA=missing.pem\r\n",
                          "missing.pem' (TlsClientCA): No such file or directory\n", true},
#ifndef _WIN32
        // Files of the program directory put in place as a link or a FIFO: neither followed nor waited on.
        TStartFailureCase{"OptionIniIsALink", "", "Option.ini: is a symbolic link\n", false,
                          [](const std::string& dir) {
                              std::filesystem::rename(dir + "/Option.ini", dir + "/real.ini");
                              std::filesystem::create_symlink(dir + "/real.ini", dir + "/Option.ini");
                          }},
        TStartFailureCase{"LogIsALink", "", ".LOG: is a symbolic link\n", false,
                          [](const std::string& dir) {
                              std::filesystem::create_symlink(dir + "/Option.ini", LogFileNameFor(dir));
                          }},
        TStartFailureCase{
            "LogIsAFifo", "", ".LOG: is not a regular file (a FIFO)\n", false,
            [](const std::string& dir) { ASSERT_EQ(::mkfifo(LogFileNameFor(dir).c_str(), 0600), 0); }},
        TStartFailureCase{
            "DatabaseIsAFifo", "", "Client.db: is not a regular file", false,
            [](const std::string& dir) { ASSERT_EQ(::mkfifo((dir + "/Client.db").c_str(), 0600), 0); }},
        TStartFailureCase{"DatabaseJournalIsALink", "", "Client.db-wal: is a symbolic link", false,
                          [](const std::string& dir) {
                              std::filesystem::create_symlink(dir + "/elsewhere", dir + "/Client.db-wal");
                          }},
#endif
// A documentation address (TEST-NET-1) that no machine here has.
#ifdef _WIN32
        // The text after the number is the system's (Wine has none for it).
        TStartFailureCase{"ListenAddressNotOfTheMachine", "ListenAddress=192.0.2.1\r\n",
                          "Socket Error # 10049\r\n"}),
#else
        TStartFailureCase{"ListenAddressNotOfTheMachine", "ListenAddress=192.0.2.1\r\n",
                          "Socket Error # 99\r\nCannot assign requested address\n"}),
#endif
    [](const ::testing::TestParamInfo<TStartFailureCase>& test) { return std::string(test.param.name); });

TEST_F(TDoorlockHostTest, StoppingClosesIdleConnectionsWithinTheWait) {
    StartHost("", true, "MaxConnectionsPerClient=0\r\n");
    std::vector<TLoopbackClient> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(Connected(m_port));
    // Connections are accepted in order: once a later request is answered, all 100 are being served.
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("15151515"), std::string::npos);
    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(m_host->Errors().find("Terminate Thread Timeout"), std::string::npos);
    EXPECT_NE(m_host->Output().find("接口监听服务器已经停止。"), std::string::npos);
    int closedByServer = 0;
    for (TLoopbackClient& client : idle) {
        if (client.ReadToClose(std::chrono::seconds(5)) != TReadEnd::TimedOut)
            ++closedByServer;
    }
    EXPECT_EQ(closedByServer, 100);
}
