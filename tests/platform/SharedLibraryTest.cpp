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
