#include "platform/CodePageUnit.h"
#include "platform/LibraryPathUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/SysUtilsUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
const std::string kMathLibrary = "msvcrt.dll";
#else
const std::string kMathLibrary = "libm.so.6";
#endif

TEST(SharedLibraryTest, ResolvesExportedSymbols) {
    TSharedLibrary library(kMathLibrary);
    EXPECT_EQ(kMathLibrary, library.Path());
    auto* cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
    ASSERT_NE(nullptr, cosine);
    EXPECT_DOUBLE_EQ(1.0, cosine(0.0));
    EXPECT_EQ(nullptr, library.Symbol("no_such_symbol_here"));
}

TEST(SharedLibraryTest, MissingLibraryRaisesTheLoadersMessage) {
    try {
        TSharedLibrary library("/nonexistent/cardenc.so");
        FAIL() << "loaded";
    } catch (const Exception& e) {
        const std::string message = e.what();
        EXPECT_NE(std::string::npos, message.find("/nonexistent/cardenc.so")) << message;
    }
}

#ifndef _WIN32
// Code runs only from a file that no other account could have put there or replaced: real folders on disk,
// their modes changed, for the test's own user (root in CI, anyone elsewhere).
TEST(LibraryPathTest, CodeComesOnlyFromFoldersNoOtherAccountMayWrite) {
    namespace fs = std::filesystem;
    const auto chmod = [](const fs::path& path, mode_t mode) { ASSERT_EQ(::chmod(path.c_str(), mode), 0); };
    struct TCase {
        const char* name;
        std::function<void(const fs::path& folder, const fs::path& file)> change;
        const char* refusal; // found in the reason; empty: loadable
    };
    const TCase cases[] = {
        {"folders and file of ours", [](const fs::path&, const fs::path&) {}, ""},
        {"folder writable by others", [&](const fs::path& folder, const fs::path&) { chmod(folder, 0777); },
         "is writable by others"},
        {"folder writable by its group",
         [&](const fs::path& folder, const fs::path&) { chmod(folder, 0775); }, "is writable by its group"},
        {"folder above writable by others",
         [&](const fs::path& folder, const fs::path&) { chmod(folder.parent_path(), 0757); },
         "is writable by others"},
        {"sticky folder writable by others",
         [&](const fs::path& folder, const fs::path&) { chmod(folder, 01777); }, ""},
        {"file writable by others", [&](const fs::path&, const fs::path& file) { chmod(file, 0646); },
         "is writable by others"},
        {"file writable by its group", [&](const fs::path&, const fs::path& file) { chmod(file, 0664); },
         "is writable by its group"},
        {"not a regular file",
         [](const fs::path&, const fs::path& file) {
             fs::remove(file);
             fs::create_directory(file);
         },
         "is not a regular file"},
        {"missing", [](const fs::path&, const fs::path& file) { fs::remove(file); }, "No such file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const fs::path folder = sandbox.Path() / "vendor" / "lib";
        fs::create_directories(folder);
        chmod(sandbox.Path(), 0755);
        chmod(folder.parent_path(), 0755);
        chmod(folder, 0755);
        const fs::path file = folder / "cardenc.so";
        WriteFileBytes(file.string(), "code");
        chmod(file, 0644);
        c.change(folder, file);
        std::string real;
        const std::string refusal = CodeFileRefusal(file.string(), &real);
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
        EXPECT_EQ(refusal.empty(), *c.refusal == 0) << refusal;
        if (refusal.empty()) {
            EXPECT_EQ(fs::path(real), fs::canonical(file));
        }
        // The one that says so is the loader's rule too; a bare name is the system folders' business.
        std::string why;
        EXPECT_EQ(LibraryLoadPath(file.string(), "/", "", &why).has_value(), *c.refusal == 0) << why;
        EXPECT_EQ(why, refusal);
        EXPECT_TRUE(LibraryLoadPath("libm.so.6", "/", "", &why).has_value());
    }
}

// A link is judged by where it leads, and loaded by that name: the link itself, in a folder others may write,
// could be pointed elsewhere between the look and the load. Nor may a folder of another user's lie above.
TEST(LibraryPathTest, CodeIsJudgedAndLoadedByItsRealPath) {
    namespace fs = std::filesystem;
    TSandbox sandbox;
    const fs::path good = sandbox.Path() / "good", open = sandbox.Path() / "open";
    fs::create_directories(good);
    fs::create_directories(open);
    ASSERT_EQ(::chmod(sandbox.Path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(good.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    WriteFileBytes((good / "cardenc.so").string(), "code");
    ASSERT_EQ(::chmod((good / "cardenc.so").c_str(), 0644), 0);
    fs::create_symlink(good / "cardenc.so", open / "link.so");
    const std::optional<std::string> loaded = LibraryLoadPath((open / "link.so").string(), "/", "");
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(fs::path(*loaded), fs::canonical(good / "cardenc.so"));
    fs::create_symlink(open / "x.so", good / "back.so");
    WriteFileBytes((open / "x.so").string(), "code");
    EXPECT_NE(CodeFileRefusal((good / "back.so").string()).find("is writable by others"), std::string::npos);

    if (::geteuid() != 0)
        return; // only root can give a folder to another user
    ASSERT_EQ(::chown(good.c_str(), 4321, 4321), 0);
    EXPECT_NE(CodeFileRefusal((good / "cardenc.so").string()).find("is owned by user 4321"),
              std::string::npos);
}
#endif

} // namespace

// Windows' rules hold as text on every system: only a file inside the folder is loaded, by its full path.
TEST(LibraryPathTest, WindowsLibraryComesOnlyFromTheProgramFolder) {
    const std::u16string folder = u"C:\\Program Files (x86)\\Doorlock Host";
    const struct {
        std::u16string setting;
        std::u16string loaded; // empty: refused
    } cases[] = {
        {u"cardenc.dll", folder + u"\\cardenc.dll"},
        {u"vendor\\cardenc.dll", folder + u"\\vendor\\cardenc.dll"},
        {u"vendor/./cardenc.dll", folder + u"\\vendor\\cardenc.dll"},
        {u"vendor\\..\\cardenc.dll", folder + u"\\cardenc.dll"},
        {u"c:/program files (X86)/doorlock host/cardenc.dll",
         u"c:\\program files (X86)\\doorlock host\\cardenc.dll"},
        {u"\\Program Files (x86)\\Doorlock Host\\门锁.dll", folder + u"\\门锁.dll"},
        {u"..\\cardenc.dll", u""},
        {u"vendor\\..\\..\\Doorlock Host\\cardenc.dll", folder + u"\\cardenc.dll"},
        {u"..\\Doorlock Host2\\cardenc.dll", u""},
        {u"C:\\Program Files (x86)\\Doorlock Host2\\cardenc.dll", u""},
        {u"C:\\Program Files (x86)\\Doorlock Host", u""},
        {u"C:\\ProgramData\\DoorlockHost\\cardenc.dll", u""},
        {u"D:\\Program Files (x86)\\Doorlock Host\\cardenc.dll", u""},
        {u"C:cardenc.dll", u""},
        {u"\\\\server\\share\\cardenc.dll", u""},
        {u"//server/share/cardenc.dll", u""},
        {u"\\\\?\\UNC\\server\\share\\cardenc.dll", u""},
        {u"\\\\?\\C:\\Program Files (x86)\\Doorlock Host\\cardenc.dll", u""},
        {u"\\\\.\\C:\\Program Files (x86)\\Doorlock Host\\cardenc.dll", u""},
        {u"\\??\\C:\\Program Files (x86)\\Doorlock Host\\cardenc.dll", u""},
        {u"cardenc.dll:payload", u""},
        {u"cardenc.dll.", u""},
        {u".. \\cardenc.dll", u""},
        {u"...\\cardenc.dll", u""},
        {u"card*.dll", u""},
        {u"card\tenc.dll", u""},
        {u"", u""},
        {u"vendor\\..", u""},
        // ".." above the root names no folder at all.
        {u"C:\\..\\cardenc.dll", u""},
        {u"C:\\Program Files (x86)\\..\\..\\cardenc.dll", u""},
        {u"\\..\\Program Files (x86)\\Doorlock Host\\cardenc.dll", u""},
        {u"..\\..\\..\\cardenc.dll", u""},
    };
    for (const auto& c : cases) {
        const std::optional<std::u16string> loaded = WindowsLibraryPathInFolder(c.setting, folder);
        EXPECT_EQ(loaded.value_or(u""), c.loaded) << Utf16ToGbk(c.setting);
    }
    // A program on a share takes its library from the same share folder.
    EXPECT_EQ(WindowsLibraryPathInFolder(u"cardenc.dll", u"\\\\desk\\apps\\Doorlock").value_or(u""),
              u"\\\\desk\\apps\\Doorlock\\cardenc.dll");
    EXPECT_FALSE(WindowsLibraryPathInFolder(u"\\apps\\cardenc.dll", u"\\\\desk\\apps\\Doorlock"));
}

// Where a junction leads: the system's final names carry a verbatim prefix.
TEST(LibraryPathTest, FinalPathLiesInTheFolder) {
    const struct {
        std::u16string path, folder;
        bool inside;
    } cases[] = {
        {u"\\\\?\\C:\\Programs\\Doorlock\\cardenc.dll", u"\\\\?\\C:\\Programs\\Doorlock", true},
        {u"\\\\?\\C:\\Programs\\Doorlock\\cardenc.dll", u"C:\\PROGRAMS\\doorlock", true},
        {u"\\\\?\\C:\\ProgramData\\Doorlock\\cardenc.dll", u"\\\\?\\C:\\Programs\\Doorlock", false},
        {u"\\\\?\\C:\\Programs\\DoorlockData\\cardenc.dll", u"\\\\?\\C:\\Programs\\Doorlock", false},
        {u"\\\\?\\UNC\\server\\share\\cardenc.dll", u"\\\\?\\C:\\Programs\\Doorlock", false},
        {u"\\\\?\\UNC\\server\\share\\Doorlock\\cardenc.dll", u"\\\\server\\share\\Doorlock", true},
        {u"\\\\?\\C:\\Programs\\Doorlock", u"\\\\?\\C:\\Programs\\Doorlock", false},
        {u"C:\\..\\Programs\\Doorlock\\cardenc.dll", u"C:\\Programs\\Doorlock", false},
        {u"\\\\server\\share\\..\\..", u"\\\\server\\share", false},
        {u"\\\\server\\share\\Doorlock\\cardenc.dll", u"\\\\server\\share\\..\\Doorlock", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WindowsPathLiesIn(c.path, c.folder), c.inside) << Utf16ToGbk(c.path);
}
