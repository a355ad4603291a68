#include "platform/FileUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;

// What a name leads to after a change, against the file it led to before: the record store reopens its
// database when the name no longer leads to the file it opened.
TEST(FileIdentityTest, FollowsTheFileNotTheName) {
    struct TCase {
        const char* name;
        std::function<void(const std::string& file)> change;
        const char* looked; // the name looked at after the change
        bool same;          // it leads to the file from before
        bool found = true;  // it leads to a file at all
    };
    const TCase cases[] = {
        {"written to", [](const std::string& file) { WriteFileBytes(file, "more"); }, "x.db", true},
        {"renamed, new name", [](const std::string& file) { fs::rename(file, file + ".old"); }, "x.db.old",
         true},
        {"renamed, old name", [](const std::string& file) { fs::rename(file, file + ".old"); }, "x.db", false,
         false},
        {"replaced",
         [](const std::string& file) {
             WriteFileBytes(file + ".new", "other");
             fs::rename(file + ".new", file);
         },
         "x.db", false},
        {"removed", [](const std::string& file) { fs::remove(file); }, "x.db", false, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const std::string file = sandbox.File("x.db");
        WriteFileBytes(file, "data");
        const std::optional<TFileIdentity> before = FileIdentityOf(file);
        ASSERT_TRUE(before.has_value());
        c.change(file);
        const std::optional<TFileIdentity> after = FileIdentityOf(sandbox.File(c.looked));
        EXPECT_EQ(after.has_value(), c.found);
        EXPECT_EQ(after == before, c.same);
    }
}

} // namespace
