#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct TArgsCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string output; // expected in standard output
    std::string errors; // expected in standard error
};

void PrintTo(const TArgsCase& c, std::ostream* os) {
    *os << c.name;
}

class THostArgumentsTest : public ::testing::TestWithParam<TArgsCase> {};

} // namespace

TEST_P(THostArgumentsTest, StatusAndMessage) {
    const TArgsCase& c = GetParam();
    // No display (or a build without the window): the window cannot open, whatever the machine has.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    TSandbox sandbox;
    std::vector<std::string> args = c.args;
    for (auto& a : args) {
        if (a == "SANDBOX")
            a = sandbox.Path().string();
    }
    TRunningProgram host(BuildProgram("doorlock-host"), args);
    EXPECT_EQ(host.Wait(), c.status);
    EXPECT_NE(host.Output().find(c.output), std::string::npos) << host.Output();
    EXPECT_NE(host.Errors().find(c.errors), std::string::npos) << host.Errors();
    // Nothing is started, so nothing is written into the program directory.
    EXPECT_TRUE(std::filesystem::is_empty(sandbox.Path()));
}

INSTANTIATE_TEST_SUITE_P(
    Host, THostArgumentsTest,
    ::testing::Values(
        TArgsCase{"NoDisplay", {"--dir", "SANDBOX"}, 1, "", "--headless"},
        TArgsCase{"Help", {"--help"}, 0, "--headless", ""},
        TArgsCase{"Version", {"--version"}, 0, "doorlock-host 1.0.0.0", ""},
        TArgsCase{"UnknownArgument", {"--frobnicate"}, 2, "", "unknown argument"},
        TArgsCase{"MissingDirectory", {"--headless", "--dir", "SANDBOX/none"}, 2, "", "does not exist"}),
    [](const ::testing::TestParamInfo<TArgsCase>& test) { return std::string(test.param.name); });
