#include "server/LogUpkeepUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SysUtilsUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>

namespace {

class TRecordedInfoList : public TInfoList {
public:
    void AppendLine(const std::string& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Seconds since 2026-12-30 23:59:00 as the clock the upkeep and the log read.
TDateTime At(int seconds) {
    return EncodeDateTime(2026, 12, 30, 23, 59, 0) + seconds / 86400.0;
}

} // namespace

// At the start and on each new day: old files deleted (one line naming them), daily files, the day's checks
// in the log and the information list.
TEST(LogUpkeepTest, StartAndEachNewDayDeleteOldFilesAndRunTheDailyChecks) {
    TSandbox sandbox;
    const std::string dir = FileNameOf(sandbox.Path());
    for (const char* name : {"20261120.LOG", "20261121.LOG", "20261122.LOG", "notes.txt"})
        WriteFileBytes(sandbox.File(name), "x");
    std::atomic<int> seconds{0};
    TLogFile log(sandbox.File("20261230.LOG"), [&seconds] { return At(seconds); });
    TSysOption option("unused");
    option.LogRollover = "Daily";
    option.LogRetentionDays = 39; // 2026-12-30 keeps 2026-11-21 on
    TRecordedInfoList info;
    std::atomic<int> checks{0};
    {
        TLogUpkeep upkeep(
            option, log, info,
            [&checks](TDateTime now) {
                ++checks;
                return std::vector<std::string>{"check " + FormatDateTime("yyyymmdd", now)};
            },
            [&seconds] { return At(seconds); }, std::chrono::milliseconds(1));
        EXPECT_FALSE(std::filesystem::exists(sandbox.File("20261120.LOG")));
        EXPECT_TRUE(std::filesystem::exists(sandbox.File("20261121.LOG")));
        EXPECT_EQ(checks, 0); // the start's own checks are the start's
        seconds = 30;
        EXPECT_FALSE(WaitFor([&] { return upkeep.Days() > 0; }, std::chrono::milliseconds(50)));
        seconds = 60; // midnight
        ASSERT_TRUE(WaitFor([&] { return upkeep.Days() == 1; }));
        EXPECT_FALSE(std::filesystem::exists(sandbox.File("20261121.LOG")));
        EXPECT_TRUE(std::filesystem::exists(sandbox.File("20261122.LOG")));
        log.WriteLog("new day");
    }
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(info.Lines(), std::vector<std::string>{"check 20261231"});
    const std::string first = ReadFileBytes(sandbox.File("20261230.LOG"));
    EXPECT_NE(first.find(DeletedLogFilesLine(39, {"20261120.LOG"})), std::string::npos) << first;
    const std::string second = ReadFileBytes(sandbox.File("20261231.LOG"));
    EXPECT_NE(second.find(DeletedLogFilesLine(39, {"20261121.LOG"})), std::string::npos) << second;
    EXPECT_NE(second.find("check 20261231"), std::string::npos);
    EXPECT_NE(second.find("new day"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(sandbox.File("notes.txt")));
}

TEST(LogUpkeepTest, ABadRolloverFailsBeforeAnythingChanges) {
    TSandbox sandbox;
    WriteFileBytes(sandbox.File("20200101.LOG"), "x");
    TLogFile log(sandbox.File("20261230.LOG"));
    TSysOption option("unused");
    option.LogRollover = "Hourly";
    option.LogRetentionDays = 1;
    TRecordedInfoList info;
    EXPECT_THROW(TLogUpkeep upkeep(option, log, info), Exception);
    EXPECT_TRUE(std::filesystem::exists(sandbox.File("20200101.LOG")));
}
