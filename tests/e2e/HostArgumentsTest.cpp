#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

struct TArgsCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string output;            // expected in standard output
    std::string errors;            // expected in standard error
    const char* display = nullptr; // DISPLAY, or none
    bool needsX = false;           // only where the window needs an X server
    const char* program = "doorlock-host";
};

void PrintTo(const TArgsCase& c, std::ostream* os) {
    *os << c.name;
}

class THostArgumentsTest : public ::testing::TestWithParam<TArgsCase> {};

} // namespace

TEST_P(THostArgumentsTest, StatusAndMessage) {
    const TArgsCase& c = GetParam();
#ifdef _WIN32
    if (c.needsX)
        GTEST_SKIP() << "a Windows desk always has a desktop for the window";
#endif
    // No display (or a build without the window): the window cannot open, whatever the machine has.
    SetEnvironment("DISPLAY", nullptr);
    SetEnvironment("WAYLAND_DISPLAY", nullptr);
    SetEnvironment("QT_QPA_PLATFORM", nullptr);
    if (c.display != nullptr)
        SetEnvironment("DISPLAY", c.display);
    TSandbox sandbox;
    std::vector<std::string> args = c.args;
    for (auto& a : args) {
        if (a == "SANDBOX")
            a = sandbox.Path().string();
    }
    TRunningProgram host(BuildProgram(c.program), args);
    EXPECT_EQ(host.Wait(), c.status);
    EXPECT_NE(host.Output().find(c.output), std::string::npos) << host.Output();
    const std::string errors = host.Errors();
    EXPECT_NE(errors.find(c.errors), std::string::npos) << errors;
    EXPECT_LE(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    // Nothing is started, so nothing is written into the program directory.
    EXPECT_TRUE(std::filesystem::is_empty(sandbox.Path()));
}

INSTANTIATE_TEST_SUITE_P(
    Host, THostArgumentsTest,
    ::testing::Values(
        TArgsCase{"NoDisplay", {"--dir", "SANDBOX"}, 1, "", "--headless", nullptr, true},
        // No X server listens there: the same one line, nothing opened.
        TArgsCase{"UnreachableDisplay", {"--dir", "SANDBOX"}, 1, "", "--headless", ":7319", true},
        TArgsCase{"Help", {"--help"}, 0, "--headless", ""},
        TArgsCase{"Version", {"--version"}, 0, "doorlock-host " DOORLOCK_VERSION "\n", ""},
        TArgsCase{"UnknownArgument", {"--frobnicate"}, 2, "", "unknown argument"},
        // The client answers the same two questions the same way.
        TArgsCase{"CliHelp",
                  {"--help"},
                  0,
                  "  --help shows this text, --version the version",
                  "",
                  nullptr,
                  false,
                  "doorlock-cli"},
        TArgsCase{"CliVersion",
                  {"--version"},
                  0,
                  "doorlock-cli " DOORLOCK_VERSION "\n",
                  "",
                  nullptr,
                  false,
                  "doorlock-cli"},
        TArgsCase{"MissingDirectory", {"--headless", "--dir", "SANDBOX/none"}, 2, "", "does not exist"},
// Started from a console rather than by the service manager, a service host serves nothing.
#ifdef _WIN32
        TArgsCase{
            "ServiceFromConsole", {"--service", "--dir", "SANDBOX"}, 1, "", "not started by the service"}),
#else
        TArgsCase{"ServiceElsewhere", {"--service", "--dir", "SANDBOX"}, 2, "", "--headless"}),
#endif
    [](const ::testing::TestParamInfo<TArgsCase>& test) { return std::string(test.param.name); });
