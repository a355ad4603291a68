#include "server/LogFileUnit.h"
#include "server/MessageTextUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A request's text can hold anything; a reader of the file must still tell the writer's lines from it, and
// see every byte as a character of the code page or as \xNN.
TEST(LogFileTest, ContinuationLinesAreMarkedAndBytesWrittenAsCharactersOrHex) {
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
        {"after a vertical tab", "a\v" + forged, "a\\x0b\t" + forged + "\r\n"},
        {"after a form feed", "a\f" + forged, "a\\x0c\t" + forged + "\r\n"},
        {"behind blanks and backspaces", "a\r\n \t\b\b" + forged, "a\r\n\t \t\\x08\\x08" + forged + "\r\n"},
        {"behind a full-width space", "a\r\n\xA1\xA1" + forged, "a\r\n\t\xA1\xA1" + forged + "\r\n"},
        {"the time alone at the end", "a\r\n2026-01-01 00:00:00", "a\r\n\t2026-01-01 00:00:00\r\n"},
        {"each of several", "\n" + forged + "\n\n" + forged,
         "\r\n\t" + forged + "\r\n\r\n\t" + forged + "\r\n"},
        {"first line follows the real prefix", forged, forged + "\r\n"},
        {"minutes missing", "a\r\n2026-01-01 00:00 x", "a\r\n2026-01-01 00:00 x\r\n"},
        {"other separators", "a\r\n2026/01/01 00:00:00 x", "a\r\n2026/01/01 00:00:00 x\r\n"},
        {"a letter in a digit's place", "a\r\n2026-01-0l 00:00:00 x", "a\r\n2026-01-0l 00:00:00 x\r\n"},
        {"text before the date", "a\r\n\xB4\xAE" + forged, "a\r\n\xB4\xAE" + forged + "\r\n"},
        // Nothing of a message may act on the terminal of whoever reads the file, and every file decodes
        // whole.
        {"escape sequence", "a\x1b[2A\x1b[2Kb", "a\\x1b[2A\\x1b[2Kb\r\n"},
        {"backspaces", "\t\b\b\b2026", "\t\\x08\\x08\\x082026\r\n"},
        {"NUL, DEL and the last control byte", std::string("a\0b\x7f\x1f", 5), "a\\x00b\\x7f\\x1f\r\n"},
        {"TAB stays", "a\tb", "a\tb\r\n"},
        {"characters of the code page", "\xB4\xAE\xBF\xDA", "\xB4\xAE\xBF\xDA\r\n"},
        {"user-defined area, as Windows writes U+E000", "\xAA\xA1", "\xAA\xA1\r\n"},
        {"trail byte 0x80 and 0x40", "\x81\x80\x81\x40", "\x81\x80\x81\x40\r\n"},
        {"lone lead byte at the end", "\xD0\xC2\x81", "\xD0\xC2\\x81\r\n"},
        {"lead byte before an ASCII digit",
         "\x81"
         "0",
         "\\x810\r\n"},
        {"lead byte before DEL", "\x81\x7f", "\\x81\\x7f\r\n"},
        {"lead byte before a line break", "\x81\nx", "\\x81\r\nx\r\n"},
        {"euro sign byte and 0xFF", "\x80\xFF", "\\x80\\xff\r\n"},
        {"C1 control as UTF-8 bytes stays a pair of the code page", "\xC2\x85", "\xC2\x85\r\n"},
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
            const std::string name = "writer " + std::to_string(t) + " line ";
            // Half of them write entries of two lines, which nothing may come between.
            for (int i = 0; i < 1000; i += t < 4 ? 1 : 2) {
                if (t < 4)
                    log.WriteLog(name + std::to_string(i));
                else
                    log.WriteEntry({name + std::to_string(i), name + std::to_string(i + 1)});
            }
        });
    }
    for (auto& w : writers)
        w.join();
    std::vector<std::string> lines = Lines(ReadFileBytes(sandbox.File("x.LOG")));
    ASSERT_EQ(lines.size(), 8000u);
    const std::regex wellFormed(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} writer [0-7] line \d{1,3})");
    std::vector<int> perWriter(8, 0);
    std::string previous;
    int backwards = 0, entriesApart = 0;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        ASSERT_TRUE(std::regex_match(line, wellFormed)) << line;
        ++perWriter[line[27] - '0'];
        if (line.substr(0, 19) <= previous)
            ++backwards;
        previous = line.substr(0, 19);
        const int number = std::stoi(line.substr(34));
        if (line[27] >= '4' && number % 2 == 0 &&
            (n + 1 == lines.size() ||
             lines[n + 1].substr(20) != line.substr(20, 14) + std::to_string(number + 1)))
            ++entriesApart;
    }
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(entriesApart, 0);
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

// With daily files each line goes to the file of its own day; the run's first name stays what it was.
TEST(LogFileTest, DailyFilesStartEachDaysFileAtItsFirstLine) {
    TSandbox sandbox;
    TDateTime now = EncodeDateTime(2026, 12, 31, 23, 59, 59);
    const std::string first = LogFileNameFor(FileNameOf(sandbox.Path()), now);
    TLogFile log(first, [&now] { return now; });
    log.WriteLog("old year");
    log.UseDailyFiles(FileNameOf(sandbox.Path()));
    log.WriteLog("still the old day");
    now = EncodeDateTime(2027, 1, 1, 0, 0, 0);
    log.WriteEntry({"new day", "same entry"});
    const std::string second = sandbox.File("20270101.LOG");
    EXPECT_EQ(log.FileName(), first);
    EXPECT_EQ(log.CurrentFileName(), second);
    EXPECT_EQ(
        Lines(ReadFileBytes(first)),
        (std::vector<std::string>{"2026-12-31 23:59:59 old year", "2026-12-31 23:59:59 still the old day"}));
    EXPECT_EQ(Lines(ReadFileBytes(second)),
              (std::vector<std::string>{"2027-01-01 00:00:00 new day", "2027-01-01 00:00:00 same entry"}));
    // Without daily files a run keeps its start day's file after midnight.
    TLogFile startDay(sandbox.File("20261231.LOG"), [&now] { return now; });
    startDay.WriteLog("after midnight");
    EXPECT_EQ(Lines(ReadFileBytes(first)).back(), "2027-01-01 00:00:00 after midnight");
}

TEST(LogFileTest, RetentionDeletesOnlyOldLogFilesByTheirNames) {
    TSandbox sandbox;
    const TDateTime today = EncodeDateTime(2026, 12, 9, 10, 0, 0);
    for (const char* name : {"20261209.LOG", "20260612.LOG", "20260611.LOG", "20250101.LOG", "2025010.LOG",
                             "20251301.LOG", "x20250101.LOG", "20250101.LOG.bak", "Option.ini"})
        WriteFileBytes(sandbox.File(name), "x");
#ifndef _WIN32
    // Where letter case makes another name (on Windows it is the same file).
    WriteFileBytes(sandbox.File("20250101.log"), "x");
#endif
    std::filesystem::create_directory(sandbox.File("20240101.LOG"));
    std::error_code ec;
    std::filesystem::create_symlink(sandbox.File("Option.ini"), sandbox.File("20240102.LOG"), ec);

    EXPECT_TRUE(DeleteOldLogFiles(FileNameOf(sandbox.Path()), 0, today).empty());
    // 180 days before 2026-12-09 is 2026-06-12: that day's file is kept, the one before goes.
    EXPECT_EQ(DeleteOldLogFiles(FileNameOf(sandbox.Path()), 180, today),
              (std::vector<std::string>{"20250101.LOG", "20260611.LOG"}));
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(FileNameOf(sandbox.Path())))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = {"20240101.LOG", "20250101.LOG.bak", "2025010.LOG", "20251301.LOG",
                                         "20260612.LOG", "20261209.LOG",     "Option.ini",  "x20250101.LOG"};
#ifndef _WIN32
    expected.push_back("20250101.log");
#endif
    if (!ec)
        expected.push_back("20240102.LOG");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(DeletedLogFilesLine(180, {"20250101.LOG", "20260611.LOG"}),
              Gbk("已删除超过 180 天的日志文件（LogRetentionDays）：20250101.LOG, 20260611.LOG"));
}

// A sender's texts have a budget per minute, and the disk a floor; crossing the floor is said once each way.
TEST(LogFileTest, TextsBeyondTheBudgetOrBelowTheFloorAreNotKept) {
    using V = TLogFile::TTextVerdict;
    TSandbox sandbox;
    TDateTime now = EncodeDateTime(2026, 12, 9, 10, 0, 0);
    unsigned long long freeBytes = 1000;
    TLogFile log(sandbox.File("x.LOG"), [&now] { return now; });
    log.SetTextLimits(
        100, 500, [&freeBytes] { return freeBytes; }, std::chrono::milliseconds(0));
    std::vector<std::string> told;
    log.SetOnNotice([&told](const std::string& line) { told.push_back(line); });

    EXPECT_EQ(log.TakeText("a", 60), V::Keep);
    EXPECT_EQ(log.TakeText("a", 40), V::Keep); // exactly the budget
    EXPECT_EQ(log.TakeText("a", 1), V::OverBudgetFirst);
    EXPECT_EQ(log.TakeText("a", 1), V::OverBudget);
    EXPECT_EQ(log.TakeText("b", 100), V::Keep); // another sender has a budget of its own
    EXPECT_EQ(log.TakeText("b", 101), V::OverBudgetFirst);
    now += 59.0 / 86400; // 10:00:59, still the same minute
    EXPECT_EQ(log.TakeText("a", 1), V::OverBudget);
    now += 1.0 / 86400; // the next minute
    EXPECT_EQ(log.TakeText("a", 100), V::Keep);
    EXPECT_EQ(log.TakeText("c", 101), V::OverBudgetFirst); // one text over the whole budget

    freeBytes = 499;
    EXPECT_EQ(log.TakeText("d", 1), V::LowSpace);
    EXPECT_TRUE(log.LowOnSpace());
    EXPECT_EQ(log.TakeText("d", 1), V::LowSpace);
    freeBytes = 500;
    EXPECT_EQ(log.TakeText("d", 1), V::Keep);
    EXPECT_FALSE(log.LowOnSpace());
    ASSERT_EQ(told.size(), 2u); // once down, once up
    const std::vector<std::string> lines = Lines(ReadFileBytes(sandbox.File("x.LOG")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(20), told[0]);
    EXPECT_EQ(lines[1].substr(20), told[1]);
    EXPECT_NE(told[0].find(Gbk("可用空间低于 0 MB")), std::string::npos) << told[0];

    // The disk's own figure is asked once per recheck, not for every text.
    int looks = 0;
    log.SetTextLimits(
        100, 500, [&looks] { return ++looks, 0ULL; }, std::chrono::hours(1));
    EXPECT_EQ(log.TakeText("e", 1), V::LowSpace);
    EXPECT_EQ(log.TakeText("e", 1), V::LowSpace);
    EXPECT_EQ(looks, 1);
}

// A request's entry (who sent it, "收到消息", its text) is written whole, whatever other peers log meanwhile.
TEST(LogFileTest, RequestEntriesOfConcurrentPeersStayWhole) {
    TSandbox sandbox;
    TLogFile log(sandbox.File("x.LOG"));
    TRestored<TLogFile*> restore{LogFile};
    LogFile = &log;
    std::vector<std::thread> peers;
    for (int t = 0; t < 8; ++t) {
        peers.emplace_back([t] {
            const TRequestOrigin origin{"127.0.0." + std::to_string(t + 2), 4000 + t, ""};
            for (int i = 0; i < 300; ++i) {
                LogReceivedRequest("request of " + origin.Address, origin);
                WriteLog("a line of its own");
            }
        });
    }
    for (std::thread& peer : peers)
        peer.join();
    const std::vector<std::string> lines = Lines(ReadFileBytes(sandbox.File("x.LOG")));
    size_t whole = 0, requests = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("request of ", 0) != 0)
            continue;
        ++requests;
        const std::string address = lines[i].substr(11);
        if (i >= 2 && lines[i - 1].substr(20) == Gbk("收到消息: ") &&
            lines[i - 2].substr(20).rfind(Gbk("客户端：") + address + ":", 0) == 0)
            ++whole;
    }
    EXPECT_EQ(requests, 2400u);
    EXPECT_EQ(whole, requests);
}

#ifndef _WIN32
// A link put in the log's place is not written through, and the operator is told once, until the log can
// be written again.
TEST(LogFileTest, ALinkInTheLogsPlaceIsNeitherFollowedNorSilent) {
    TSandbox sandbox;
    const std::string file = sandbox.File("x.LOG"), target = sandbox.File("bashrc");
    WriteFileBytes(target, "mine\n");
    TLogFile log(file);
    std::vector<std::string> told;
    log.SetOnNotice([&told](const std::string& line) { told.push_back(line); });
    auto swapForLink = [&] {
        std::filesystem::remove(file);
        std::filesystem::create_symlink(target, file);
    };
    log.WriteLog("before");
    swapForLink();
    log.WriteLog("lost");
    log.WriteLog("lost too");
    EXPECT_EQ(ReadFileBytes(target), "mine\n");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], Gbk("日志文件无法写入，日志行丢失: ") + file + ": is a symbolic link");
    std::filesystem::remove(file);
    log.WriteLog("after");
    swapForLink();
    log.WriteLog("lost again");
    EXPECT_EQ(told.size(), 2u);
    EXPECT_EQ(ReadFileBytes(target), "mine\n");
}
#endif
