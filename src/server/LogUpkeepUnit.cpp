#include "server/LogUpkeepUnit.h"

#include "platform/FileNameUnit.h"
#include "server/MessageTextUnit.h"

#include <cmath>

TLogUpkeep::TLogUpkeep(const TSysOption& option, TLogFile& log, TInfoList& infoList, TDailyCheck dailyCheck,
                       std::function<TDateTime()> clock, std::chrono::milliseconds poll)
    : m_log(log), m_infoList(infoList), m_dailyCheck(std::move(dailyCheck)), m_clock(std::move(clock)),
      m_poll(poll), m_directory(FileNameOf(FileSystemPath(log.FileName()).parent_path())),
      m_retentionDays(option.LogRetentionDays) {
    const bool daily = option.DailyLogFiles();
    if (daily)
        m_log.UseDailyFiles(m_directory);
    const unsigned long long mb = 1024 * 1024;
    m_log.SetTextLimits(RequestTextBudgetPerMinute,
                        option.LogMinFreeMB > 0 ? static_cast<unsigned long long>(option.LogMinFreeMB) * mb
                                                : 0);
    m_log.SetOnNotice([this](const std::string& line) { m_infoList.AppendLine(line); });
    const TDateTime now = m_clock();
    if (m_retentionDays > 0) {
        const std::vector<std::string> deleted = DeleteOldLogFiles(m_directory, m_retentionDays, now);
        if (!deleted.empty())
            m_log.WriteLog(DeletedLogFilesLine(m_retentionDays, deleted));
    }
    m_thread = std::thread([this] { Watch(); });
}

TLogUpkeep::~TLogUpkeep() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
    m_log.SetOnNotice({});
}

unsigned TLogUpkeep::Days() const {
    std::lock_guard lock(m_mutex);
    return m_days;
}

void TLogUpkeep::Watch() {
    // The day is looked at now and then rather than slept towards, so that a clock set forward or back (or
    // a machine that slept) is followed within one poll.
    long long day = static_cast<long long>(std::floor(m_clock()));
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, m_poll, [this] { return m_stopping; })) {
        const TDateTime now = m_clock();
        const auto today = static_cast<long long>(std::floor(now));
        if (today == day)
            continue;
        day = today;
        lock.unlock();
        NewDay(now);
        lock.lock();
        ++m_days;
    }
}

void TLogUpkeep::NewDay(TDateTime now) {
    if (m_retentionDays > 0) {
        const std::vector<std::string> deleted = DeleteOldLogFiles(m_directory, m_retentionDays, now);
        if (!deleted.empty())
            m_log.WriteLog(DeletedLogFilesLine(m_retentionDays, deleted));
    }
    if (m_dailyCheck) {
        for (const std::string& line : m_dailyCheck(now)) {
            m_log.WriteLog(line);
            m_infoList.AppendLine(line);
        }
    }
}
