#include "DoorlockTestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/SysUtilsUnit.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string Pattern() {
    std::string card(256, '\0');
    for (size_t i = 0; i < card.size(); ++i)
        card[i] = static_cast<char>(i);
    return card;
}

// Where the tests' programs and the fake libraries are: the only folder a library is loaded from on Windows.
std::string ProgramsFolder() {
    return std::filesystem::absolute(std::filesystem::path(FAKE_CARDENC_PATH)).parent_path().string();
}

// The fake vendor library's own controls; the device's encoder loads the same module, so they share state.
class TFakeLibrary {
public:
    explicit TFakeLibrary(const std::string& path = FAKE_CARDENC_PATH) : m_library(path) {
        m_takeCalls = reinterpret_cast<const char* (*)()>(m_library.Symbol("fake_take_calls"));
        m_setResults =
            reinterpret_cast<void (*)(int32_t, int32_t, int32_t)>(m_library.Symbol("fake_set_results"));
        SetResults(77, 0, 0);
        TakeCalls();
    }
    ~TFakeLibrary() { SetResults(77, 0, 0); }

    std::string TakeCalls() { return m_takeCalls(); }
    void SetResults(int32_t init, int32_t read, int32_t write) { m_setResults(init, read, write); }

private:
    TSharedLibrary m_library;
    const char* (*m_takeCalls)() = nullptr;
    void (*m_setResults)(int32_t, int32_t, int32_t) = nullptr;
};

} // namespace

TEST(SimulatedEncoderTest, OpensPortsZeroToFive) {
    TSandbox sandbox;
    auto encoder = CreateSimulatedCardEncoder(sandbox.File("SimCard.bin"));
    for (int32_t port : {-1, 6, 100})
        EXPECT_LE(encoder->auto_init(port, 9600), 0) << port;
    for (int32_t port : {0, 5})
        EXPECT_GT(encoder->auto_init(port, 9600), 0) << port;
}

TEST(SimulatedEncoderTest, ReadsAndWritesWithinTheCard) {
    TSandbox sandbox;
    std::string file = sandbox.File("SimCard.bin");
    WriteFileBytes(file, Pattern());
    auto encoder = CreateSimulatedCardEncoder(file);
    int32_t handle = encoder->auto_init(2, 9600);
    uint8_t buffer[8] = {};

    ASSERT_EQ(encoder->srd_24c02(handle, 250, 6, buffer), 0);
    EXPECT_EQ(buffer[0], 250);
    EXPECT_EQ(buffer[5], 255);
    struct {
        int32_t offset, length;
    } outside[] = {{251, 6}, {-1, 6}, {0, 257}, {0, -1}, {256, 1}};
    for (auto [offset, length] : outside) {
        EXPECT_NE(encoder->srd_24c02(handle, offset, length, buffer), 0) << offset << "/" << length;
        EXPECT_NE(encoder->swr_24c02(handle, offset, length, buffer), 0) << offset << "/" << length;
    }

    uint8_t bytes[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_EQ(encoder->swr_24c02(handle, 100, 3, bytes), 0);
    std::string expected = Pattern();
    expected.replace(100, 3, "\xA1\xA2\xA3");
    EXPECT_EQ(ReadFileBytes(file), expected);
}

TEST(SimulatedEncoderTest, OnlyOpenHandlesReachTheCard) {
    TSandbox sandbox;
    std::string file = sandbox.File("SimCard.bin");
    WriteFileBytes(file, Pattern());
    auto encoder = CreateSimulatedCardEncoder(file);
    uint8_t buffer[6] = {};
    EXPECT_EQ(encoder->srd_24c02(0, 0, 6, buffer), CardStatusNotOpen);
    EXPECT_EQ(encoder->srd_24c02(1001, 0, 6, buffer), CardStatusNotOpen);

    int32_t handle = encoder->auto_init(1, 9600);
    ASSERT_EQ(encoder->srd_24c02(handle, 0, 6, buffer), 0);
    EXPECT_EQ(encoder->ic_exit(handle), 0);
    EXPECT_EQ(encoder->srd_24c02(handle, 0, 6, buffer), CardStatusNotOpen);
    EXPECT_EQ(encoder->swr_24c02(handle, 0, 6, buffer), CardStatusNotOpen);
    EXPECT_EQ(ReadFileBytes(file), Pattern());
}

TEST(SimulatedEncoderTest, NoCardWithoutAWholeCardFile) {
    TSandbox sandbox;
    std::string file = sandbox.File("SimCard.bin");
    auto encoder = CreateSimulatedCardEncoder(file);
    int32_t handle = encoder->auto_init(0, 9600);
    uint8_t buffer[6] = {};
    EXPECT_EQ(encoder->srd_24c02(handle, 0, 6, buffer), SimStatusNoCard);
    EXPECT_EQ(encoder->swr_24c02(handle, 0, 6, buffer), SimStatusNoCard);
    EXPECT_FALSE(std::filesystem::exists(file));

    WriteFileBytes(file, std::string(255, '\xFF'));
    EXPECT_EQ(encoder->srd_24c02(handle, 0, 6, buffer), SimStatusNoCard);
    EXPECT_EQ(encoder->swr_24c02(handle, 0, 6, buffer), SimStatusNoCard);
    EXPECT_EQ(ReadFileBytes(file), std::string(255, '\xFF'));
}

TEST(CardEncoderChoiceTest, EmptyLibraryPathSimulatesWithTheProgramDirectoryCard) {
    TSandbox sandbox;
    auto encoder = CreateCardEncoder("", sandbox.Path().string(), ProgramsFolder());
    EXPECT_EQ(encoder->Description(), Gbk("发卡器: 模拟发卡器 ") + sandbox.File("SimCard.bin"));
}

TEST(CardEncoderChoiceTest, VendorLibraryGetsTheDeviceArguments) {
    const std::string plainNames = "auto_init, dv_beep, ic_exit, srd_24c02, swr_24c02";
    const struct {
        std::string path;
        std::string shown; // the library as the log names it
        std::string names; // as the log shows them
    } libraries[] = {
#ifdef FAKE_CARDENC_DECORATED_PATH
        // On Windows by its full path in the programs' folder, however Option.ini names it there.
        {FAKE_CARDENC_PATH, JoinFileName(ProgramsFolder(), "cardenc.dll"), plainNames},
        {"cardenc.dll", JoinFileName(ProgramsFolder(), "cardenc.dll"), plainNames},
        {"sub\\..\\cardenc.dll", JoinFileName(ProgramsFolder(), "cardenc.dll"), plainNames},
        {FAKE_CARDENC_DECORATED_PATH, JoinFileName(ProgramsFolder(), "fakecardenc_decorated.dll"),
         "_auto_init@8, _dv_beep@8, _ic_exit@4, _srd_24c02@16, _swr_24c02@16"},
#else
        {FAKE_CARDENC_PATH, FAKE_CARDENC_PATH, plainNames},
#endif
    };
    for (const auto& library : libraries) {
        SCOPED_TRACE(library.path);
        TFakeLibrary fake(library.shown);
        TDeviceFixture f([&] { return CreateCardEncoder(library.path, "", ProgramsFolder()); });
        EXPECT_EQ(f.encoder->Description(), Gbk("发卡器: ") + library.shown + " (" + library.names + ")");
        f.option.PortName = "COM3";
        ASSERT_TRUE(f.device.OpenPort());
        EXPECT_EQ(fake.TakeCalls(), "auto_init 2 9600\ndv_beep 77 10\n");

        int64_t cardNo = 0;
        TDateTime checkOut = EncodeDateTime(2024, 12, 31, 14, 30);
        ASSERT_TRUE(f.device.IssueCard("", "", "", "0816", "", 0, 0, checkOut, checkOut, false, cardNo));
        EXPECT_EQ(fake.TakeCalls(), "swr_24c02 77 0 6 11 08 16 12 31 14\ndv_beep 77 10\n");

        ASSERT_TRUE(f.device.ReadCard(cardNo));
        EXPECT_EQ(fake.TakeCalls(), "srd_24c02 77 0 6\ndv_beep 77 10\n");
        EXPECT_EQ(cardNo, 816123114);

        ASSERT_TRUE(f.device.EraseCard());
        EXPECT_EQ(fake.TakeCalls(), "swr_24c02 77 0 6 FF FF FF FF FF FF\ndv_beep 77 10\n");

        // Opening again releases the connection still open; a closed one is not released twice.
        ASSERT_TRUE(f.device.OpenPort());
        EXPECT_TRUE(f.device.ClosePort());
        EXPECT_TRUE(f.device.ClosePort());
        f.device.Beep();
        EXPECT_FALSE(f.device.ReadCard(cardNo));
        EXPECT_EQ(fake.TakeCalls(), "ic_exit 77\nauto_init 2 9600\ndv_beep 77 10\nic_exit 77\n");
    }
}

TEST(CardEncoderChoiceTest, VendorLibraryInAChineseFolderLoads) {
    // As a Windows desk names it in Option.ini: code page text, whatever the file system's names are.
    TSandbox sandbox;
    const std::filesystem::path folder = sandbox.Path() / std::filesystem::path(u8"门锁接口");
    std::filesystem::create_directory(folder);
    const std::filesystem::path library = folder / std::filesystem::path(FAKE_CARDENC_PATH).filename();
    std::filesystem::copy_file(FAKE_CARDENC_PATH, library);
    const std::u8string utf8 = library.u8string();
    const std::string path = Utf8ToGbk(std::string(utf8.begin(), utf8.end()));

    const auto encoder = CreateCardEncoder(path, "", sandbox.Path().string());
    EXPECT_EQ(encoder->Description(),
              Gbk("发卡器: ") + path + " (auto_init, dv_beep, ic_exit, srd_24c02, swr_24c02)");
    EXPECT_EQ(encoder->auto_init(2, 9600), 77);
}

TEST(CardEncoderChoiceTest, OnlyTheLowSixteenStatusBitsCount) {
    TFakeLibrary fake;
    TDeviceFixture f([] { return CreateCardEncoder(FAKE_CARDENC_PATH, "", ProgramsFolder()); });
    ASSERT_TRUE(f.device.OpenPort());
    TDateTime checkOut = EncodeDateTime(2024, 12, 31, 14, 30);
    int64_t cardNo = 42;

    fake.SetResults(77, 0x00020005, 0x0001FFFE);
    EXPECT_FALSE(f.device.IssueCard("", "", "", "0816", "", 0, 0, checkOut, checkOut, false, cardNo));
    EXPECT_FALSE(f.device.ReadCard(cardNo));
    EXPECT_FALSE(f.device.EraseCard());
    EXPECT_EQ(cardNo, 42);

    fake.SetResults(77, 0x00010000, 0x7FFF0000);
    fake.TakeCalls();
    EXPECT_TRUE(f.device.IssueCard("", "", "", "0816", "", 0, 0, checkOut, checkOut, false, cardNo));
    EXPECT_TRUE(f.device.ReadCard(cardNo));
    // Failures do not beep; each success does.
    EXPECT_EQ(fake.TakeCalls(), "swr_24c02 77 0 6 11 08 16 12 31 14\ndv_beep 77 10\nsrd_24c02 77 0 6\n"
                                "dv_beep 77 10\n");

    fake.SetResults(-3, 0, 0);
    EXPECT_FALSE(f.device.OpenPort());
    auto lines = f.LogLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.begin() + 5),
              (std::vector<std::string>{Gbk("发卡失败-2"), Gbk("读卡失败5"), Gbk("销卡失败-2")}));
    EXPECT_EQ(lines.back(), Gbk("串口打开失败: COM1"));
}

TEST(CardEncoderChoiceTest, UnloadableOrRefusedLibraryIsLoggedAndOpensNoPort) {
    // The data directory, which a front-desk account may write to, apart from where the programs are.
    TSandbox sandbox;
    const std::string missing = JoinFileName(ProgramsFolder(), "nosuchlib.so");
    const std::string fileName = std::filesystem::path(FAKE_CARDENC_PATH).filename().string();
    const std::string inData = sandbox.File(fileName);
    std::filesystem::copy_file(FAKE_CARDENC_PATH, inData);
    std::filesystem::create_directory(sandbox.Path() / "sub");
    TSandbox elsewhere;
#ifndef _WIN32
    // A link outside the data directory to a library inside it.
    std::filesystem::create_symlink(inData, elsewhere.File(fileName));
#endif
    const std::string refused = EncoderLibraryRefusal;
    struct {
        std::string path;
        std::string reason; // what the line holds after the path: the refusal whole, or part of the loader's
    } cases[] = {
        {missing, ""},
        {FAKE_CARDENC_PARTIAL_PATH, "srd_24c02"},
        {inData, refused},
        {JoinFileName(JoinFileName(sandbox.Path().string(), "sub"), "..") + "/" + fileName, refused},
#ifdef _WIN32
        // Only the programs' own folder: nothing beside it, on a share or named by a device path.
        {"..\\lib\\" + fileName, refused},
        {"\\\\server\\share\\" + fileName, refused},
        {"\\\\?\\UNC\\server\\share\\" + fileName, refused},
        {"\\\\.\\" + JoinFileName(ProgramsFolder(), fileName), refused},
#else
        {elsewhere.File(fileName), refused},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.reason != refused) {
            EXPECT_THROW(LoadVendorCardEncoder(c.path), Exception);
        }
        TDeviceFixture f(
            [&] { return CreateCardEncoder(c.path, sandbox.Path().string(), ProgramsFolder()); });
        EXPECT_EQ(f.encoder->Description(), Gbk("发卡器: ") + c.path);
        EXPECT_FALSE(f.device.OpenPort());
        auto lines = f.LogLines();
        ASSERT_EQ(lines.size(), 2u);
        std::string prefix = Gbk("发卡器动态库加载失败: ") + c.path + ": ";
        EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
        EXPECT_EQ(lines[0].substr(prefix.size()) == refused, c.reason == refused) << lines[0];
        EXPECT_GT(lines[0].size(), prefix.size());
        EXPECT_NE(lines[0].find(c.reason), std::string::npos);
        EXPECT_EQ(lines[1], Gbk("串口打开失败: COM1"));
        EXPECT_FALSE(std::filesystem::exists(sandbox.File("SimCard.bin")));
    }
}
