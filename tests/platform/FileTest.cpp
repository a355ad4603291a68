#include "platform/FileUnit.h"
#include "platform/SysUtilsUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

#ifndef _WIN32
// Names a front-desk account could have swapped into the program directory: each is refused at once (a FIFO
// never blocks the open), and a name that leads to nothing yet may still be created.
TEST(RegularFileTest, RefusesLinksAndOtherKinds) {
    struct TCase {
        const char* name;
        std::function<void(const std::string& name, const std::string& other)> make;
        const char* refusal; // the start of the reason; empty: may be opened
    };
    const TCase cases[] = {
        {"regular file", [](const std::string& name, const std::string&) { WriteFileBytes(name, "text"); },
         ""},
        {"missing", [](const std::string&, const std::string&) {}, ""},
        {"link to a regular file",
         [](const std::string& name, const std::string& other) { fs::create_symlink(other, name); },
         "is a symbolic link"},
        {"dangling link",
         [](const std::string& name, const std::string& other) { fs::create_symlink(other + ".none", name); },
         "is a symbolic link"},
        {"FIFO",
         [](const std::string& name, const std::string&) { ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0); },
         "is not a regular file"},
        {"directory", [](const std::string& name, const std::string&) { fs::create_directory(name); },
         "is not a regular file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const std::string name = sandbox.File("x.LOG"), other = sandbox.File("bashrc");
        WriteFileBytes(other, "keep");
        c.make(name, other);
        EXPECT_EQ(RegularFileRefusal(name).rfind(c.refusal, 0), 0u) << RegularFileRefusal(name);
        EXPECT_EQ(RegularFileRefusal(name).empty(), *c.refusal == 0);

        // Reading: the same refusals, named in the error; a missing file cannot be read either.
        std::string error;
        try {
            EXPECT_EQ(ReadRegularFile(name, 100), "text");
        } catch (const Exception& e) {
            error = e.what();
        }
        if (*c.refusal != 0) {
            EXPECT_EQ(error.rfind(name + ": " + c.refusal, 0), 0u) << error;
        } else {
            EXPECT_EQ(error.empty(), std::string(c.name) != "missing") << error;
        }

        // Appending: refused the same way, and the link's target keeps its bytes.
        TAppendFile file(name);
        const bool opened = file.Open();
        EXPECT_EQ(opened, *c.refusal == 0);
        EXPECT_EQ(file.LastRefusal().rfind(c.refusal, 0), 0u) << file.LastRefusal();
        if (opened) {
            EXPECT_TRUE(file.Append("line"));
        }
        EXPECT_EQ(ReadFileBytes(other), "keep");
    }
}

TEST(RegularFileTest, ReadsUpToTheLimit) {
    TSandbox sandbox;
    const std::string name = sandbox.File("Option.ini");
    const std::string content(70000, 'x'); // more than one read
    WriteFileBytes(name, content);
    EXPECT_EQ(ReadRegularFile(name, content.size()), content);
    EXPECT_THROW(ReadRegularFile(name, content.size() - 1), Exception);
    WriteFileBytes(name, "");
    EXPECT_EQ(ReadRegularFile(name, 0), "");
}

// The log keeps its file open between appends: a link or FIFO put in its place while it runs is refused at
// the next Open, the link's target is not written, and the bytes land again once a regular file is back.
TEST(RegularFileTest, AppendFileRefusesWhatIsSwappedIn) {
    struct TCase {
        const char* name;
        std::function<void(const std::string& name, const std::string& other)> swap;
        const char* refusal;
    };
    const TCase cases[] = {
        {"link",
         [](const std::string& name, const std::string& other) {
             fs::remove(name);
             fs::create_symlink(other, name);
         },
         "is a symbolic link"},
        {"link by rename",
         [](const std::string& name, const std::string& other) {
             fs::create_symlink(other, name + ".new");
             fs::rename(name + ".new", name);
         },
         "is a symbolic link"},
        {"FIFO",
         [](const std::string& name, const std::string&) {
             fs::remove(name);
             ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
         },
         "is not a regular file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const std::string name = sandbox.File("x.LOG"), other = sandbox.File("bashrc");
        WriteFileBytes(other, "keep");
        TAppendFile file(name);
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Append("one"));
        c.swap(name, other);
        EXPECT_FALSE(file.Open());
        EXPECT_EQ(file.LastRefusal().rfind(c.refusal, 0), 0u) << file.LastRefusal();
        EXPECT_FALSE(file.Open()); // still refused, not once only
        EXPECT_EQ(ReadFileBytes(other), "keep");
        fs::remove(name);
        ASSERT_TRUE(file.Open());
        EXPECT_TRUE(file.LastRefusal().empty());
        ASSERT_TRUE(file.Append("two"));
        EXPECT_EQ(ReadFileBytes(name), "two");
    }
}
#endif

} // namespace
