#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/IniFileUnit.h"
#include "platform/SysUtilsUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

bool RunningAsRoot() {
#ifdef _WIN32
    return false;
#else
    return geteuid() == 0;
#endif
}

// The file as Notepad saves "Unicode": UTF-16LE after a byte-order mark.
std::string Utf16File(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string WriteError(const std::string& path) {
    try {
        TIniFile(path).WriteString("SysOption", "Password", "new");
    } catch (const Exception& e) {
        return e.what();
    }
    return "no error";
}

TEST(IniFileTest, ReadsValuesByTheWindowsRules) {
    const std::string content = "; settings of the front desk\r\n"
                                "[SysOption]\r\n"
                                "DoorlockPortNo=0x22B6\r\n"
                                "PolicePortNo=$22B6\r\n"
                                "MemberPortNo=abc\r\n"
                                "ScanPortNo =  -12  \r\n"
                                "  Password  =  \"  mirvek  \"  \r\n"
                                "Single='x'\r\n"
                                "Mixed=\"x'\r\n"
                                "Lone=\"\r\n"
                                "Empty=\r\n"
                                ";Commented=1\r\n"
                                "Duplicate=first\r\n"
                                "Duplicate=second\r\n"
                                "\x81\x41=upper\r\n"
                                "Desk=\xC7\xB0\xCC\xA8\r\n"
                                "[doorlockoption]\n"
                                "UseNativeDoorlockDb=1\n"
                                "SaveDoorlockRecord=0\n"
                                "BadBool=yes\n"
                                "Big=4294967296\n"
                                "BareX=x22B6\n"
                                "[SysOption]\n"
                                "OnlyInSecond=1\n";
    // The same text in code page bytes and in UTF-16 reads the same.
    for (const std::string& bytes : {content, Utf16File(GbkToUtf16(content))}) {
        TSandbox sandbox;
        const std::string path = sandbox.File("Option.ini");
        WriteFileBytes(path, bytes);
        const TIniFile ini(path);
        struct Case {
            const char* section;
            const char* key;
            const char* expected;
        };
        const Case strings[] = {
            {"SysOption", "Password", "  mirvek  "},
            {"SYSOPTION", "password", "  mirvek  "},
            {"SysOption", "Single", "x"},
            {"SysOption", "Mixed", "\"x'"},
            {"SysOption", "Lone", "\""},
            {"SysOption", "Empty", ""},
            {"SysOption", "Commented", "default"},
            {"SysOption", ";Commented", "default"},
            {"SysOption", "Duplicate", "first"},
            {"SysOption", "Missing", "default"},
            {"NoSection", "Password", "default"},
            {"SysOption", "OnlyInSecond", "default"}, // only the first section of a name counts
            {"SysOption", "\x81\x41", "upper"},
            // Another character whose trail byte is the same letter in the other case: no match.
            {"SysOption", "\x81\x61", "default"},
            {"SysOption", "Desk", "\xC7\xB0\xCC\xA8"},
        };
        for (const Case& c : strings)
            EXPECT_EQ(c.expected, ini.ReadString(c.section, c.key, "default")) << c.section << "/" << c.key;

        struct IntCase {
            const char* section;
            const char* key;
            int32_t expected;
        };
        const IntCase integers[] = {
            {"SysOption", "DoorlockPortNo", 8886}, {"SysOption", "PolicePortNo", 8886},
            {"SysOption", "MemberPortNo", 8883},   {"SysOption", "ScanPortNo", -12},
            {"SysOption", "Empty", 8883},          {"SysOption", "Missing", 8883},
            {"DoorlockOption", "Big", 8883},       {"DoorlockOption", "BareX", 8883},
        };
        for (const IntCase& c : integers)
            EXPECT_EQ(c.expected, ini.ReadInteger(c.section, c.key, 8883)) << c.key;

        EXPECT_TRUE(ini.ReadBool("DoorlockOption", "UseNativeDoorlockDb", false));
        EXPECT_FALSE(ini.ReadBool("DoorlockOption", "SaveDoorlockRecord", true));
        EXPECT_TRUE(ini.ReadBool("DoorlockOption", "BadBool", true));
        EXPECT_FALSE(ini.ReadBool("DoorlockOption", "BadBool", false));
        EXPECT_TRUE(ini.ReadBool("SysOption", "DoorlockPortNo", false));
    }
}

TEST(IniFileTest, TextValuesAreCutTo2047Characters) {
    TSandbox sandbox;
    const std::string path = sandbox.File("Option.ini");
    const std::string longValue(3000, 'a');
    // A double-byte character across the limit is dropped whole rather than halved.
    const std::string chinese = std::string(2046, 'b') + "\xBF\xA8" + "cc";
    WriteFileBytes(path, "[S]\r\nLong=" + longValue + "\r\nExact=" + longValue.substr(0, 2047) +
                             "\r\nQuoted=\"" + longValue + "\"\r\nChinese=" + chinese + "\r\n");
    const TIniFile ini(path);
    EXPECT_EQ(longValue.substr(0, 2047), ini.ReadString("S", "Long", ""));
    EXPECT_EQ(longValue.substr(0, 2047), ini.ReadString("S", "Exact", ""));
    EXPECT_EQ(longValue.substr(0, 2047), ini.ReadString("S", "Quoted", ""));
    EXPECT_EQ(std::string(2046, 'b'), ini.ReadString("S", "Chinese", ""));
}

TEST(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
    TSandbox sandbox;
    const TIniFile missing(sandbox.File("Option.ini"));
    EXPECT_EQ("mirvek", missing.ReadString("SysOption", "Password", "mirvek"));
    EXPECT_EQ(8886, missing.ReadInteger("SysOption", "DoorlockPortNo", 8886));
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("Option.ini")));
    const TIniFile directory(sandbox.Path().string());
    EXPECT_EQ(8886, directory.ReadInteger("SysOption", "DoorlockPortNo", 8886));
}

TEST(IniFileTest, WritesChangeOneLineAndKeepEveryOtherByte) {
    const std::string original = "; front desk settings\r\n"
                                 "[SysOption]\r\n"
                                 "Password=mirvek\r\n"
                                 "  doorlockportno = 8886\r\n"
                                 "\r\n"
                                 "[Other]  \r\n"
                                 "Keep = \"as it is\"   \r\n"
                                 "\r\n"
                                 "[DoorlockOption]\r\n"
                                 "DelayMinutes=1\r\n"
                                 ";last line\r\n"
                                 "\r\n";
    struct Case {
        const char* name;
        const char* section;
        const char* key;
        const char* value;
        std::string expected;
    };
    const Case cases[] = {
        {"changed in place, blanks after = kept", "SYSOPTION", "DoorlockPortNo", "9000",
         "; front desk settings\r\n[SysOption]\r\nPassword=mirvek\r\n  doorlockportno = 9000\r\n\r\n"
         "[Other]  \r\nKeep = \"as it is\"   \r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last "
         "line\r\n\r\n"},
        {"added after the section's last non-blank line", "SysOption", "MemberPortNo", "8883",
         "; front desk settings\r\n[SysOption]\r\nPassword=mirvek\r\n  doorlockportno = 8886\r\n"
         "MemberPortNo=8883\r\n\r\n"
         "[Other]  \r\nKeep = \"as it is\"   \r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last "
         "line\r\n\r\n"},
        {"added after a trailing comment of the last section", "DoorlockOption", "DelayMinutes2", "5",
         "; front desk settings\r\n[SysOption]\r\nPassword=mirvek\r\n  doorlockportno = 8886\r\n\r\n"
         "[Other]  \r\nKeep = \"as it is\"   \r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last line\r\n"
         "DelayMinutes2=5\r\n\r\n"},
        {"new section at the end", "New", "Key", "v", original + "[New]\r\nKey=v\r\n"},
        {"comment is not a key", "DoorlockOption", ";last line", "x",
         "; front desk settings\r\n[SysOption]\r\nPassword=mirvek\r\n  doorlockportno = 8886\r\n\r\n"
         "[Other]  \r\nKeep = \"as it is\"   \r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last line\r\n"
         ";last line=x\r\n\r\n"},
        {"Chinese value", "Other", "Keep", "\xC7\xB0\xCC\xA8",
         "; front desk settings\r\n[SysOption]\r\nPassword=mirvek\r\n  doorlockportno = 8886\r\n\r\n"
         "[Other]  \r\nKeep = \xC7\xB0\xCC\xA8\r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last "
         "line\r\n\r\n"},
        {"line breaks in a value cannot add lines", "SysOption", "Password", "a\r\n[Evil]\nb",
         "; front desk settings\r\n[SysOption]\r\nPassword=a  [Evil] b\r\n  doorlockportno = 8886\r\n\r\n"
         "[Other]  \r\nKeep = \"as it is\"   \r\n\r\n[DoorlockOption]\r\nDelayMinutes=1\r\n;last "
         "line\r\n\r\n"},
    };
    // A UTF-16 file is changed the same way and stays UTF-16.
    for (const bool wide : {false, true}) {
        const auto encoded = [wide](const std::string& text) {
            return wide ? Utf16File(GbkToUtf16(text)) : text;
        };
        for (const Case& c : cases) {
            TSandbox sandbox;
            const std::string path = sandbox.File("Option.ini");
            WriteFileBytes(path, encoded(original));
            TIniFile ini(path);
            ini.WriteString(c.section, c.key, c.value);
            EXPECT_EQ(encoded(c.expected), ReadFileBytes(path)) << c.name << (wide ? " (UTF-16)" : "");
        }
    }
}

TEST(IniFileTest, AddedLinesFollowTheFilesLineEndings) {
    struct Case {
        std::string original;
        const char* section;
        std::string expected;
    };
    const Case cases[] = {
        {"[A]\nx=1\n", "A", "[A]\nx=1\nKey=v\n"},
        {"[A]\nx=1\n", "B", "[A]\nx=1\n[B]\nKey=v\n"},
        {"[A]\nx=1", "A", "[A]\nx=1\nKey=v\n"},
        {"[A]\nx=1", "B", "[A]\nx=1\n[B]\nKey=v\n"},
        {"[A]\r\nx=1", "A", "[A]\r\nx=1\r\nKey=v\r\n"},
        {"[A]", "A", "[A]\r\nKey=v\r\n"},
        {"[A]\r\nx=1\n[B]\n", "B", "[A]\r\nx=1\n[B]\nKey=v\r\n"},
        {"", "A", "[A]\r\nKey=v\r\n"},
        // A byte-order mark stays and hides no section; a lone CR ends a line.
        {"\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "\xEF\xBB\xBF[A]\r\nx=1\r\nKey=v\r\n"},
        {"\xEF\xBB\xBF", "A", "\xEF\xBB\xBF[A]\r\nKey=v\r\n"},
        {"[A]\rx=1\r[B]\r", "A", "[A]\rx=1\rKey=v\r[B]\r"},
        {"[A]\rx=1", "B", "[A]\rx=1\r[B]\rKey=v\r"},
        {"[A]\r\nx=1\ry=2\r\n", "A", "[A]\r\nx=1\ry=2\r\nKey=v\r\n"},
        // UTF-16 stays UTF-16, with its line ends; units the code page cannot hold (an emoji, a lone
        // surrogate) and a last odd byte stay as they were.
        {Utf16File(u"[A]\nx=1"), "B", Utf16File(u"[A]\nx=1\n[B]\nKey=v\n")},
        {Utf16File(u";\U0001F600\xD800\r\n[A]\r\nx=1\r\n") + "\x01", "A",
         Utf16File(u";\U0001F600\xD800\r\n[A]\r\nx=1\r\nKey=v\r\n") + "\x01"},
        {Utf16File(u""), "A", Utf16File(u"[A]\r\nKey=v\r\n")},
    };
    for (const Case& c : cases) {
        TSandbox sandbox;
        const std::string path = sandbox.File("Option.ini");
        WriteFileBytes(path, c.original);
        TIniFile ini(path);
        ini.WriteString(c.section, "Key", "v");
        EXPECT_EQ(c.expected, ReadFileBytes(path)) << c.original;
        EXPECT_EQ("v", ini.ReadString(c.section, "Key", "")) << c.original;
        if (c.original.find("x=1") != std::string::npos) {
            EXPECT_EQ("1", ini.ReadString("A", "x", "")) << c.original;
        }
    }
}

TEST(IniFileTest, MissingFileIsCreatedAndReadsBack) {
    TSandbox sandbox;
    // A front desk's program directory may have a Chinese name; file names are code page text.
    const std::string chineseDir = JoinFileName(FileNameOf(sandbox.Path()), Gbk("前台 设置"));
    std::filesystem::create_directory(FileSystemPath(chineseDir));
    for (const std::string& dir : {FileNameOf(sandbox.Path()), chineseDir}) {
        SCOPED_TRACE(dir);
        const std::string path = JoinFileName(dir, "Option.ini");
        TIniFile ini(path);
        ini.WriteString("SysOption", "Password", "mirvek");
        ini.WriteInteger("SysOption", "DoorlockPortNo", 8886);
        ini.WriteBool("DoorlockOption", "UseNativeDoorlockDb", true);
        ini.WriteBool("DoorlockOption", "SaveDoorlockRecord", false);
        ini.WriteInteger("SysOption", "DoorlockPortNo", -5);
        EXPECT_EQ("[SysOption]\r\nPassword=mirvek\r\nDoorlockPortNo=-5\r\n"
                  "[DoorlockOption]\r\nUseNativeDoorlockDb=1\r\nSaveDoorlockRecord=0\r\n",
                  ReadFileBytes(path));
        EXPECT_EQ(-5, ini.ReadInteger("SysOption", "DoorlockPortNo", 0));
        EXPECT_TRUE(ini.ReadBool("DoorlockOption", "UseNativeDoorlockDb", false));
        // No temporary file is left behind.
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(FileSystemPath(dir)),
                                   std::filesystem::directory_iterator()) -
                         (dir == chineseDir ? 0 : 1));
    }
#ifdef _WIN32
    // The directory has the Chinese name itself, not its code page bytes read as another code page.
    EXPECT_TRUE(
        std::filesystem::exists(sandbox.Path() / std::filesystem::path(u8"前台 设置") / "Option.ini"));
#endif
}

TEST(IniFileTest, ConcurrentWritersKeepEachOthersKeys) {
    TSandbox sandbox;
    const std::string path = sandbox.File("Option.ini");
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([t, &path] {
            TIniFile ini(path);
            for (int i = 0; i < 10; ++i)
                ini.WriteInteger("S" + std::to_string(t), "Key" + std::to_string(i), i);
        });
    }
    for (auto& writer : writers)
        writer.join();
    const TIniFile ini(path);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(i, ini.ReadInteger("S" + std::to_string(t), "Key" + std::to_string(i), -1)) << t << i;
    }
}

TEST(IniFileTest, FailedWritesRaiseAndLeaveTheFileAlone) {
    // These fail for every user, root included.
    TSandbox sandbox;
    const std::string inMissingDirectory = sandbox.File("no-such-dir/Option.ini");
    EXPECT_EQ("Unable to write to " + inMissingDirectory, WriteError(inMissingDirectory));
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("no-such-dir")));

    const std::string directory = sandbox.File("Option.ini");
    std::filesystem::create_directory(directory);
    EXPECT_EQ("Unable to write to " + directory, WriteError(directory));
    EXPECT_TRUE(std::filesystem::is_directory(directory));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(sandbox.Path()),
                               std::filesystem::directory_iterator()));
}

#ifndef _WIN32
// A link in Option.ini's place (to a file of the operator's) is neither read, written through nor replaced:
// reads give the defaults, writes raise, and the link and its target stay as they were.
TEST(IniFileTest, LinkInTheFilesPlaceIsRefused) {
    TSandbox sandbox;
    const std::string path = sandbox.File("Option.ini"), target = sandbox.File("bashrc");
    const std::string content = "[SysOption]\r\nDoorlockPortNo=9000\r\n";
    WriteFileBytes(target, content);
    std::filesystem::create_symlink(target, path);
    const TIniFile ini(path);
    EXPECT_EQ(8886, ini.ReadInteger("SysOption", "DoorlockPortNo", 8886));
    EXPECT_EQ("Unable to write to " + path, WriteError(path));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(content, ReadFileBytes(target));
}
#endif

TEST(IniFileTest, ReadOnlyFileOrDirectoryRaises) {
    if (RunningAsRoot())
        GTEST_SKIP() << "root writes whatever the permission bits say";
    using std::filesystem::perms;
    const std::string content = "[SysOption]\r\nPassword=old\r\n";
    {
        TSandbox sandbox;
        const std::string path = sandbox.File("Option.ini");
        WriteFileBytes(path, content);
        std::filesystem::permissions(path, perms::owner_read);
        EXPECT_EQ("Unable to write to " + path, WriteError(path));
        EXPECT_EQ(content, ReadFileBytes(path));
    }
#ifndef _WIN32 // a read-only directory still takes new files on Windows
    {
        TSandbox sandbox;
        const std::string path = sandbox.File("Option.ini");
        WriteFileBytes(path, content);
        std::filesystem::permissions(sandbox.Path(), perms::owner_read | perms::owner_exec);
        EXPECT_EQ("Unable to write to " + path, WriteError(path));
        EXPECT_EQ(content, ReadFileBytes(path));
    }
    {
        TSandbox sandbox;
        std::filesystem::permissions(sandbox.Path(), perms::owner_read | perms::owner_exec);
        const std::string path = sandbox.File("Option.ini");
        EXPECT_EQ("Unable to write to " + path, WriteError(path));
        EXPECT_FALSE(std::filesystem::exists(path));
    }
#endif
}

TEST(IniFileTest, WriteKeepsTheFilesMode) {
#ifdef _WIN32
    GTEST_SKIP() << "no POSIX modes";
#else
    TSandbox sandbox;
    const std::string path = sandbox.File("Option.ini");
    WriteFileBytes(path, "[A]\r\n");
    using std::filesystem::perms;
    std::filesystem::permissions(path, perms::owner_read | perms::owner_write | perms::group_read);
    TIniFile(path).WriteString("A", "Key", "v");
    EXPECT_EQ(perms::owner_read | perms::owner_write | perms::group_read,
              std::filesystem::status(path).permissions());
#endif
}

} // namespace
