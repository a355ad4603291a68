#include "DoorlockHostFixture.h"

#include "doorlock/CardEncoderUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>

// Today's log put in place as a link to another file, then as a FIFO, while the host runs: the requests are
// still answered, nothing lands in the link's target, and no request waits on the FIFO.
TEST_F(TDoorlockHostTest, LogSwappedForALinkOrAFifoIsNotWritten) {
    namespace fs = std::filesystem;
    StartHost();
    const std::string log = m_sandbox.File(fs::path(LogFileNameFor(".")).filename().string());
    const std::string target = m_sandbox.File("bashrc");
    WriteFileBytes(target, "keep\n");
    ASSERT_TRUE(fs::exists(log));
    fs::remove(log);
    fs::create_symlink(target, log);
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find(">200<"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(log));
    EXPECT_EQ(ReadFileBytes(target), "keep\n");

    fs::remove(log);
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find(">200<"), std::string::npos);
    EXPECT_EQ(fs::status(log).type(), fs::file_type::fifo);
    EXPECT_EQ(StopHost(), 0);
    fs::remove(log);
}
#endif

#ifdef FAKE_CARDENC_PATH

class TVendorHostTest : public TDoorlockHostTest, public ::testing::WithParamInterface<bool> {};

// The host on the vendor library named in Option.ini: what crosses the library's interface from start-up
// to shut-down, also when nobody reads the host's standard output any more.
TEST_P(TVendorHostTest, VendorLibraryIsDrivenFromOpenToClose) {
    const std::string calls = m_sandbox.File("calls.txt");
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", calls.c_str());
    m_outputFirstLineOnly = GetParam();
    StartHost("EncoderLibrary=" + std::string(FAKE_CARDENC_PATH) + "\r\nPortName=COM3\r\n", false);
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", nullptr);

    EXPECT_NE(Send(IssueCardRequest()).find("816123114"), std::string::npos);
    EXPECT_EQ(StopHost(), 0) << m_host->Errors();

    EXPECT_EQ(ReadFileBytes(calls), "auto_init 2 9600\n"
                                    "dv_beep 77 10\n"
                                    "swr_24c02 77 0 6 11 08 16 12 31 14\n"
                                    "dv_beep 77 10\n"
                                    "ic_exit 77\n");
    const std::string log = LogText();
    // By its full path in the programs' folder (on Windows however Option.ini names it there).
    const std::string shown = std::filesystem::path(FAKE_CARDENC_PATH).filename().string() +
                              " (auto_init, dv_beep, ic_exit, srd_24c02, swr_24c02)";
    EXPECT_NE(log.find(Gbk("发卡器: ")), std::string::npos);
    EXPECT_NE(log.find(shown), std::string::npos);
    EXPECT_NE(log.find(Gbk("串口打开成功: COM3")), std::string::npos);
    // The store was closed: its last connection took the write-ahead log with it.
    EXPECT_FALSE(std::filesystem::exists(DatabaseFile() + "-wal"));
}

INSTANTIATE_TEST_SUITE_P(Output, TVendorHostTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& test) {
                             return std::string(test.param ? "ClosedAfterStartLine" : "Read");
                         });

// A write that never returns from the library holds its connection past the stop's wait: the stop says so,
// and the process still ends soon after, with the store closed and the library not called again meanwhile.
TEST_F(TDoorlockHostTest, StopEndsTheProcessWhileAHandlerIsStuckInTheLibrary) {
    const std::string calls = m_sandbox.File("calls.txt");
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", calls.c_str());
    SetEnvironment("FAKE_CARDENC_HANG", "swr_24c02");
    StartHost("EncoderLibrary=" + std::string(FAKE_CARDENC_PATH) + "\r\nSaveDoorlockRecord=1\r\n", false);
    SetEnvironment("FAKE_CARDENC_CALLS_FILE", nullptr);
    SetEnvironment("FAKE_CARDENC_HANG", nullptr);

    std::thread client([&] { Send(IssueCardRequest()); });
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(calls).find("swr_24c02") != std::string::npos; }));
    // The stop's own wait is five seconds; the test only bounds the end far beyond that.
    const int status = m_host->Stop(SIGTERM, std::chrono::seconds(60));
    client.join();
    EXPECT_NE(status, -1) << "the host did not end";
    EXPECT_EQ(status, 1);
    EXPECT_NE(m_host->Errors().find("Terminate Thread Timeout"), std::string::npos) << m_host->Errors();
    EXPECT_EQ(m_host->Output().find("接口监听服务器已经停止。"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(calls).find("ic_exit"), std::string::npos) << ReadFileBytes(calls);
    EXPECT_TRUE(std::filesystem::exists(DatabaseFile()));
    EXPECT_FALSE(std::filesystem::exists(DatabaseFile() + "-wal"));
}

// A library that is not there, and one where a front-desk account could have put it: the host's program
// directory (apart from the programs), or, on Windows, anywhere outside the programs' folder.
TEST_F(TDoorlockHostTest, MissingOrRefusedVendorLibraryFailsEveryCardOperation) {
    const std::string inData = m_sandbox.File(std::filesystem::path(FAKE_CARDENC_PATH).filename().string());
    std::filesystem::copy_file(FAKE_CARDENC_PATH, inData);
    const std::string refused = Gbk("发卡器动态库加载失败: %s: ") + EncoderLibraryRefusal;
#ifndef _WIN32
    // Outside the data directory, in a folder any account may write (no sticky bit).
    const TSandbox elsewhere;
    const std::filesystem::path open = elsewhere.Path() / "open";
    std::filesystem::create_directory(open);
    ::chmod(elsewhere.Path().c_str(), 0755);
    ::chmod(open.c_str(), 0777);
    const std::string inOpen = (open / "cardenc.so").string();
    std::filesystem::copy_file(FAKE_CARDENC_PATH, inOpen);
#endif
    const struct {
        std::string path;
        std::string line; // %s: the path
    } cases[] = {
        {m_sandbox.File("no-such-library.so"), Gbk("发卡器动态库加载失败: %s: ")},
        {inData, refused},
#ifndef _WIN32
        {inOpen, Gbk("发卡器动态库加载失败: %s: ") + EncoderLibraryOwnerRefusal + "the folder " +
                     std::filesystem::canonical(open).string() + " is writable by others"},
#endif
#ifdef _WIN32
        {"..\\lib\\cardenc.dll", refused},
        {"\\\\server\\share\\cardenc.dll", refused},
#endif
    };
    auto count = [](const std::string& log, const std::string& text) {
        size_t lines = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++lines;
        return lines;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        StartHost("EncoderLibrary=" + c.path + "\r\n");
        EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>500</ResultCode>"), std::string::npos);
        EXPECT_EQ(StopHost(), 0);
        const std::string log = LogText();
        const std::string line = FormatText(c.line, {c.path});
        EXPECT_NE(log.find(line), std::string::npos) << log;
        // One line for each start, which names its store first (the fixture starts a host again where another
        // program took its port), and none for an operation or the stop.
        EXPECT_EQ(count(log, Gbk("发卡器动态库加载失败")), count(log, Gbk("数据库: ")));
        EXPECT_NE(log.rfind(Gbk("串口打开失败: COM1")), std::string::npos);
    }
}

#ifndef _WIN32
// A library outside the data directory in folders of the test's own user (root in CI) that no other account
// may write is loaded, by its real path.
TEST_F(TDoorlockHostTest, VendorLibraryInAFolderOfOursIsLoaded) {
    const TSandbox programs;
    const std::filesystem::path folder = programs.Path() / "lib";
    std::filesystem::create_directory(folder);
    ::chmod(programs.Path().c_str(), 0755);
    ::chmod(folder.c_str(), 0755);
    std::filesystem::copy_file(FAKE_CARDENC_PATH, folder / "cardenc.so");
    ::chmod((folder / "cardenc.so").c_str(), 0755);
    std::filesystem::create_symlink(folder / "cardenc.so", folder / "link.so");
    StartHost("EncoderLibrary=" + (folder / "link.so").string() + "\r\n", false);
    EXPECT_EQ(StopHost(), 0);
    const std::string log = LogText();
    EXPECT_EQ(log.find(Gbk("发卡器动态库加载失败")), std::string::npos) << log;
    EXPECT_NE(log.find(Gbk("发卡器: ") + std::filesystem::canonical(folder / "cardenc.so").string() +
                       " (auto_init"),
              std::string::npos)
        << log;
}
#endif

// A library whose port never opens, and one whose every card call fails: each request is answered with its
// failure, and the host stops as usual.
TEST_F(TDoorlockHostTest, VendorLibraryFailingEveryCallFailsEveryCardOperation) {
    for (const char* results : {"-1 0 0 0", "77 -1 -1 -1"}) {
        SCOPED_TRACE(results);
        SetEnvironment("FAKE_CARDENC_RESULTS", results);
        StartHost("EncoderLibrary=" + std::string(FAKE_CARDENC_PATH) + "\r\nSaveDoorlockRecord=1\r\n", false);
        SetEnvironment("FAKE_CARDENC_RESULTS", nullptr);
        EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>500</ResultCode><ResultMessage>读卡失败"),
                  std::string::npos);
        EXPECT_NE(Send(IssueCardRequest())
                      .find("<ResultCode>500</ResultCode><ResultMessage>发卡失败</ResultMessage><CardNo>0<"),
                  std::string::npos);
        EXPECT_NE(
            Send("<r type=\"EraseCard\"/>").find("<ResultCode>500</ResultCode><ResultMessage>注销卡失败 <"),
            std::string::npos);
        EXPECT_EQ(StopHost(), 0);
    }
}

#endif
