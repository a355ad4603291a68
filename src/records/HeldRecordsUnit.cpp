// The rows of issued cards that the server did not take yet: kept in the spool file (or, without one, in
// memory), and stored by the retry thread once the server answers again.
#include "doorlock/DoorlockRecordStoreUnit.h"

#include "platform/CodePageUnit.h"
#include "server/LogFileUnit.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

namespace {

// Issue rows kept at most while the server is out of reach; one more is logged as not stored.
constexpr size_t MaxHeldRecords = 10000;
// How often the retry thread probes a server the store could not reach and tries the held rows again.
constexpr auto RetryInterval = std::chrono::milliseconds(500);
// Held rows stored per turn of the retry thread, so that the issues meanwhile wait for it briefly.
constexpr size_t HeldRecordsPerTurn = 50;

} // namespace

void TDoorlockRecordStore::HoldRecord(const TIssueCardRecord& record) {
    if (m_spool) {
        // On disk before the answer goes out.
        if (m_spool->Add(SpoolRowOf(record))) {
            WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
            StartRetryThread();
            return;
        }
        WriteLog(Gbk("暂存文件") + m_spool->Path() + ": " + Utf8ToGbk(m_spool->LastError()));
        // A full spool keeps no more: the row is lost, and said so. A spool that cannot be written leaves
        // the row in memory, as a store without a spool would.
        if (m_spool->Count() >= TRecordSpool::MaxRows) {
            WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
            return;
        }
    }
    {
        std::lock_guard<std::mutex> held(m_heldLock);
        if (m_heldRecords.size() >= MaxHeldRecords) {
            WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
            return;
        }
        m_heldRecords.push_back(record);
    }
    WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    StartRetryThread();
}

bool TDoorlockRecordStore::HasHeldRecords() {
    {
        std::lock_guard<std::mutex> held(m_heldLock);
        if (!m_heldRecords.empty())
            return true;
    }
    return m_spool && m_spool->Count() > 0;
}

void TDoorlockRecordStore::StartRetryThread() {
    std::lock_guard<std::mutex> retry(m_retryLock);
    if (!m_retryThread.joinable() && !m_retryStop)
        m_retryThread = std::thread([this] { RetryUntilStopped(); });
}

size_t TDoorlockRecordStore::StoreHeldRecordsLocked() {
    size_t stored = 0;
    for (size_t turn = 0; turn < HeldRecordsPerTurn && m_session; ++turn) {
        std::optional<TIssueCardRecord> record;
        {
            std::lock_guard<std::mutex> held(m_heldLock);
            if (m_heldRecords.empty())
                break;
            record = m_heldRecords.front();
        }
        const std::optional<bool> outcome = StoreHeldRecordLocked(*record);
        if (!outcome)
            break;
        stored += *outcome ? 1 : 0;
        std::lock_guard<std::mutex> held(m_heldLock);
        m_heldRecords.pop_front();
    }
    if (m_spool && m_session && stored < HeldRecordsPerTurn)
        stored += StoreSpooledRecordsLocked();
    if (stored > 0)
        WriteLog(Gbk("数据库恢复，已保存暂存的发卡记录") + std::to_string(stored) + Gbk("条"));
    return stored;
}

size_t TDoorlockRecordStore::StoreSpooledRecordsLocked() {
    const std::vector<std::pair<long long, std::string>> rows = m_spool->Oldest(HeldRecordsPerTurn);
    if (rows.empty())
        return 0;
    std::vector<TIssueCardRecord> records;
    std::vector<long long> ids;
    for (const auto& [id, row] : rows) {
        TIssueCardRecord record;
        if (RecordOfSpoolRow(row, record)) {
            records.push_back(record);
            ids.push_back(id);
        } else {
            // Not a row this program wrote: nothing to store.
            WriteLog(Gbk("暂存文件中的记录无法读取，已丢弃: ") + std::to_string(id));
        }
    }
    // Removed from the spool only once the server has committed them: a crash in between stores a row
    // twice, never none.
    if (records.empty() || (records.size() > 1 && StoreTogetherLocked(records))) {
        m_spool->RemoveUpTo(rows.back().first);
        return records.size();
    }
    size_t stored = 0;
    for (size_t i = 0; i < records.size() && m_session; ++i) {
        const std::optional<bool> outcome = StoreHeldRecordLocked(records[i]);
        if (!outcome)
            break;
        stored += *outcome ? 1 : 0;
        m_spool->RemoveUpTo(ids[i]);
    }
    return stored;
}

void TDoorlockRecordStore::RetryUntilStopped() {
    std::unique_lock<std::mutex> retry(m_retryLock);
    while (!m_retryStop) {
        if (m_retrySignal.wait_for(retry, RetryInterval, [this] { return m_retryStop; }))
            break;
        retry.unlock();
        {
            std::unique_lock<std::timed_mutex> guard(m_lock);
            // Probes are not logged: the failure that began the outage was, and probes would fill the log.
            if ((!m_session && m_connectGate.InBackoff()) || HasHeldRecords()) {
                if (EnsureOpenLocked(guard, true))
                    StoreHeldRecordsLocked();
            }
        }
        retry.lock();
    }
}

namespace {

std::string DateTimeField(TDateTime time) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", time);
    return text;
}

bool ReadDateTimeField(const std::string& text, TDateTime& time) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), time);
    // 0001-01-01 to 9999-12-31, the days a date-time can name.
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(time) &&
           time >= -693593 && time < 2958466;
}

bool ReadIntField(const std::string& text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The first field of a spooled row: its layout.
const char* const SpoolRowLayout = "1";

} // namespace

std::string TDoorlockRecordStore::SpoolRowOf(const TIssueCardRecord& record) {
    return JoinSpoolFields({SpoolRowLayout, record.RegisterId, record.CardNo, record.RoomNo,
                            std::to_string(record.CardType), DateTimeField(record.LastCheckInTime),
                            DateTimeField(record.CheckInTime), DateTimeField(record.CheckOutTime),
                            record.IsCopy ? "1" : "0", record.GuestName, DateTimeField(record.OpratingTime),
                            record.Source});
}

bool TDoorlockRecordStore::RecordOfSpoolRow(const std::string& row, TIssueCardRecord& record) {
    std::vector<std::string> fields;
    // Fields a later layout adds after these are not read.
    if (!SplitSpoolFields(row, fields) || fields.size() < 11 || fields[0] != SpoolRowLayout)
        return false;
    int isCopy = 0;
    record.RegisterId = fields[1];
    record.CardNo = fields[2];
    record.RoomNo = fields[3];
    record.GuestName = fields[9];
    if (!ReadIntField(fields[4], record.CardType) || !ReadDateTimeField(fields[5], record.LastCheckInTime) ||
        !ReadDateTimeField(fields[6], record.CheckInTime) ||
        !ReadDateTimeField(fields[7], record.CheckOutTime) || !ReadIntField(fields[8], isCopy) ||
        (isCopy != 0 && isCopy != 1) || !ReadDateTimeField(fields[10], record.OpratingTime))
        return false;
    record.IsCopy = isCopy == 1;
    // Who asked for the card, where the row names it.
    record.Source = fields.size() > 11 ? fields[11] : std::string();
    return true;
}
