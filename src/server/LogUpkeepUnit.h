#pragma once

#include "platform/DateTimeUnit.h"
#include "server/InfoListUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What a run does for its log beyond writing lines, from the settings of [SysOption]: daily files
// (LogRollover), the deletion of old files at the start and each day (LogRetentionDays), the budget of each
// peer's request texts and the floor of free space (LogMinFreeMB), whose crossings the information list
// shows. Each day it also runs the host's other daily checks. Lives as long as the listener runs.
class TLogUpkeep {
public:
    // A check for a new day: the lines (GBK) it has to say, which go to the log and the information list.
    using TDailyCheck = std::function<std::vector<std::string>(TDateTime now)>;

    // Raises Exception for a LogRollover that does not parse, before anything changes. The information list
    // must take lines from any thread. clock and poll: how the day is watched (tests pass their own).
    TLogUpkeep(const TSysOption& option, TLogFile& log, TInfoList& infoList, TDailyCheck dailyCheck = {},
               std::function<TDateTime()> clock = Now,
               std::chrono::milliseconds poll = std::chrono::seconds(30));
    ~TLogUpkeep();
    TLogUpkeep(const TLogUpkeep&) = delete;
    TLogUpkeep& operator=(const TLogUpkeep&) = delete;

    // How many new days have been dealt with (for tests).
    unsigned Days() const;

private:
    void NewDay(TDateTime now);
    void Watch();

    TLogFile& m_log;
    TInfoList& m_infoList;
    TDailyCheck m_dailyCheck;
    std::function<TDateTime()> m_clock;
    std::chrono::milliseconds m_poll;
    std::string m_directory;
    int m_retentionDays = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    unsigned m_days = 0;
    std::thread m_thread;
};
