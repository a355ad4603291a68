#include "server/LogFileUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <sys/stat.h>
#include <thread>

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

const std::regex kPrefixed(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*))");

} // namespace

TEST(LogFileTest, LinesAreAppendedWithPrefixAndContinuationLinesHaveNone) {
    TSandbox sandbox;
    const std::string file = sandbox.File("20081231.LOG");
    TLogFile log(file);
    EXPECT_FALSE(std::filesystem::exists(file)); // created by the first line, not by the writer
    log.WriteLog("first");
    log.WriteLog("");
    log.WriteLog("received: \r\n<r type=\"ReadCard\"/>");
    // A bare LF or CR (a database message quoting its SQL) is a line break too, never a stray byte.
    log.WriteLog("insert\n Values\rend\n\r");
    TLogFile again(file);               // a later writer appends, no header or blank line in between
    again.WriteLog("\xB4\xAE\xBF\xDA"); // GBK bytes are written as given

    const std::string text = ReadFileBytes(file);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 10u) << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kPrefixed));
    EXPECT_EQ(m[1], "first");
    ASSERT_TRUE(std::regex_match(lines[1], m, kPrefixed)); // an empty message: the prefix and its blank
    EXPECT_EQ(m[1], "");
    ASSERT_TRUE(std::regex_match(lines[2], m, kPrefixed));
    EXPECT_EQ(m[1], "received: ");
    EXPECT_EQ(lines[3], "<r type=\"ReadCard\"/>");
    ASSERT_TRUE(std::regex_match(lines[4], m, kPrefixed));
    EXPECT_EQ(m[1], "insert");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.begin() + 9),
              (std::vector<std::string>{" Values", "end", "", ""}));
    ASSERT_TRUE(std::regex_match(lines[9], m, kPrefixed));
    EXPECT_EQ(m[1], "\xB4\xAE\xBF\xDA");
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
}

// A request's text can hold anything; a reader of the file must still tell the writer's lines from it.
TEST(LogFileTest, ContinuationLinesShapedLikeThePrefixAreMarked) {
    const std::string forged = "2026-01-01 00:00:00 x";
    struct TCase {
        const char* name;
        std::string message;
        std::string written; // after the first line's prefix
    };
    const TCase cases[] = {
        {"after CR LF", "a\r\n" + forged, "a\r\n\t" + forged + "\r\n"},
        {"after a lone LF", "a\n" + forged, "a\r\n\t" + forged + "\r\n"},
        {"after a lone CR", "a\r" + forged, "a\r\n\t" + forged + "\r\n"},
        {"after a vertical tab", "a\v" + forged, "a\v\t" + forged + "\r\n"},
        {"after a form feed", "a\f" + forged, "a\f\t" + forged + "\r\n"},
        {"behind blanks and backspaces", "a\r\n \t\b\b" + forged, "a\r\n\t \t\b\b" + forged + "\r\n"},
        {"behind a full-width space", "a\r\n\xA1\xA1" + forged, "a\r\n\t\xA1\xA1" + forged + "\r\n"},
        {"the time alone at the end", "a\r\n2026-01-01 00:00:00", "a\r\n\t2026-01-01 00:00:00\r\n"},
        {"each of several", "\n" + forged + "\n\n" + forged,
         "\r\n\t" + forged + "\r\n\r\n\t" + forged + "\r\n"},
        {"first line follows the real prefix", forged, forged + "\r\n"},
        {"minutes missing", "a\r\n2026-01-01 00:00 x", "a\r\n2026-01-01 00:00 x\r\n"},
        {"other separators", "a\r\n2026/01/01 00:00:00 x", "a\r\n2026/01/01 00:00:00 x\r\n"},
        {"a letter in a digit's place", "a\r\n2026-01-0l 00:00:00 x", "a\r\n2026-01-0l 00:00:00 x\r\n"},
        {"text before the date", "a\r\n\xB4\xAE" + forged, "a\r\n\xB4\xAE" + forged + "\r\n"},
    };
    TSandbox sandbox;
    const std::string file = sandbox.File("x.LOG");
    const std::string prefix = "2026-12-09 01:02:03 ";
    TLogFile log(file, [] { return EncodeDateTime(2026, 12, 9, 1, 2, 3); });
    size_t done = 0;
    for (const TCase& c : cases) {
        log.WriteLog(c.message);
        const std::string text = ReadFileBytes(file);
        EXPECT_EQ(text.substr(done), prefix + c.written) << c.name;
        done = text.size();
    }
}

TEST(LogFileTest, ConcurrentWritersLoseNoLineTearNoneAndKeepTimeOrder) {
    TSandbox sandbox;
    // Every reading of this clock is one second later than the one before.
    std::atomic<int> ticks{0};
    const TDateTime start = EncodeDateTime(2026, 12, 8, 0, 0, 0);
    TLogFile log(sandbox.File("x.LOG"), [&] { return start + ticks++ / 86400.0; });
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 1000; ++i)
                log.WriteLog("writer " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : writers)
        w.join();
    std::vector<std::string> lines = Lines(ReadFileBytes(sandbox.File("x.LOG")));
    ASSERT_EQ(lines.size(), 8000u);
    const std::regex wellFormed(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} writer [0-7] line \d{1,3})");
    std::vector<int> perWriter(8, 0);
    std::string previous;
    int backwards = 0;
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, wellFormed)) << line;
        ++perWriter[line[27] - '0'];
        if (line.substr(0, 19) <= previous)
            ++backwards;
        previous = line.substr(0, 19);
    }
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(perWriter, std::vector<int>(8, 1000));
}

TEST(LogFileTest, UnwritableFileLosesTheLineQuietly) {
    TSandbox sandbox;
    // A directory where the file should be fails for every user, root included.
    std::filesystem::create_directory(sandbox.File("blocked.LOG"));
    TLogFile blocked(sandbox.File("blocked.LOG"));
    EXPECT_NO_THROW(blocked.WriteLog("lost"));
    TLogFile missingDir(sandbox.File("no/such/dir.LOG"));
    EXPECT_NO_THROW(missingDir.WriteLog("lost"));
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("no")));
}

// The writer may keep its file open between lines; each line must still act on whatever the name leads to
// at that moment. The change happens after "before" and is undone after "during".
TEST(LogFileTest, EachLineActsOnWhatTheNameLeadsToNow) {
    struct TCase {
        const char* name;
        std::function<std::unique_ptr<TReadOnly>(const std::string& file)> change;
        std::vector<std::string> expected; // the messages the file holds at the end
    };
    const std::vector<TCase> cases = {
        {"removed",
         [](const std::string& file) {
             std::filesystem::remove(file);
             return nullptr;
         },
         {"during", "after"}},
        {"renamed",
         [](const std::string& file) {
             std::filesystem::rename(file, file + ".old");
             return nullptr;
         },
         {"during", "after"}},
        {"replaced",
         [](const std::string& file) {
             WriteFileBytes(file + ".new", "x\r\n");
             std::filesystem::rename(file + ".new", file);
             return nullptr;
         },
         {"x<unprefixed>", "during", "after"}},
        // The line written while the file cannot be written is lost quietly, and only that one.
        {"read-only",
         [](const std::string& file) { return std::make_unique<TReadOnly>(file); },
         {"before", "after"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSandbox sandbox;
        const std::string file = sandbox.File("x.LOG");
        TLogFile log(file);
        log.WriteLog("before");
        std::unique_ptr<TReadOnly> readOnly = c.change(file);
#ifdef _WIN32
        // Wine keeps the read-only attribute in the mode bits, which hold or not depending on who runs it.
        if (readOnly && ReadOnlyFilesStayWritable())
            continue;
#endif
        ASSERT_TRUE(!readOnly || readOnly->Made());
        EXPECT_NO_THROW(log.WriteLog("during"));
        readOnly.reset();
        log.WriteLog("after");
        std::vector<std::string> messages;
        std::smatch m;
        for (const auto& line : Lines(ReadFileBytes(file)))
            messages.push_back(std::regex_match(line, m, kPrefixed) ? m[1].str() : line + "<unprefixed>");
        EXPECT_EQ(messages, c.expected);
    }
}

TEST(LogFileTest, FileNameIsTheStartDay) {
    std::string name = std::filesystem::path(LogFileNameFor("/opt/host")).filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{8}\.LOG)"))) << name;
    EXPECT_EQ(std::filesystem::path(LogFileNameFor("/opt/host")).parent_path(), "/opt/host");
}
