#include "platform/CodePageUnit.h"
#include "platform/LibraryPathUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/SysUtilsUnit.h"

#include <gtest/gtest.h>

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
    };
    for (const auto& c : cases)
        EXPECT_EQ(WindowsPathLiesIn(c.path, c.folder), c.inside) << Utf16ToGbk(c.path);
}
