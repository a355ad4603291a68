#include "records/HeldRecordsUnit.h"

#include "platform/CodePageUnit.h"
#include "server/LogFileUnit.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// Issue rows kept at most while the server is out of reach; one more is logged as not stored.
constexpr size_t MaxHeldRecords = 10000;
// How often the retry thread probes a server the store could not reach and tries the held rows again.
constexpr auto RetryInterval = std::chrono::milliseconds(500);
// Held rows stored per turn of the retry thread, so that the issues meanwhile wait for it briefly.
constexpr size_t HeldRecordsPerTurn = 50;

// A row as the log names it.
std::string IssueRecordText(const std::string& cardNo, const std::string& roomNo) {
    return Gbk("卡号") + cardNo + Gbk(", 房间") + roomNo;
}

} // namespace

THeldRecords::THeldRecords(std::string spoolPath, std::function<void()> retryTurn)
    : m_retryTurn(std::move(retryTurn)) {
    if (spoolPath.empty())
        return;
    m_spool = std::make_unique<TRecordSpool>(std::move(spoolPath));
    // Rows an earlier run kept: the retry thread stores them once the server answers.
    if (const size_t spooled = m_spool->Count(); spooled > 0) {
        WriteLog(Gbk("暂存文件中有") + std::to_string(spooled) + Gbk("条发卡记录，数据库恢复后保存"));
        StartRetrying();
    }
}

THeldRecords::~THeldRecords() {
    StopRetrying();
}

void THeldRecords::Hold(const TIssueCardRecord& record) {
    if (m_spool) {
        // On disk before the answer goes out.
        if (m_spool->Add(SpoolRowOf(record))) {
            WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
            StartRetrying();
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
        auto rows = m_rows.Lock();
        if (rows->size() >= MaxHeldRecords) {
            WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
            return;
        }
        rows->push_back(record);
    }
    WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    StartRetrying();
}

bool THeldRecords::Any() {
    if (!m_rows.Lock()->empty())
        return true;
    return m_spool && m_spool->Count() > 0;
}

size_t THeldRecords::Held() {
    return m_rows.Lock()->size();
}

size_t THeldRecords::Spooled() {
    return m_spool ? m_spool->Count() : 0;
}

void THeldRecords::StartRetrying() {
    auto retry = m_retry.Lock();
    if (!retry->Thread.joinable() && !retry->Stop)
        retry->Thread = std::thread([this] { RetryUntilStopped(); });
}

void THeldRecords::StopRetrying() {
    std::thread thread;
    {
        auto retry = m_retry.Lock();
        retry->Stop = true;
        thread = std::move(retry->Thread);
    }
    m_retrySignal.notify_all();
    if (thread.joinable())
        thread.join();
}

void THeldRecords::LogUnstored() {
    auto rows = m_rows.Lock();
    for (const TIssueCardRecord& record : *rows)
        WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
}

size_t THeldRecords::StoreSome(THeldRecordWriter& writer) {
    size_t stored = 0;
    for (size_t turn = 0; turn < HeldRecordsPerTurn && writer.CanWrite(); ++turn) {
        std::optional<TIssueCardRecord> record;
        {
            auto rows = m_rows.Lock();
            if (rows->empty())
                break;
            record = rows->front();
        }
        const std::optional<bool> outcome = writer.StoreOne(*record);
        if (!outcome)
            break;
        stored += *outcome ? 1 : 0;
        m_rows.Lock()->pop_front();
    }
    if (m_spool && writer.CanWrite() && stored < HeldRecordsPerTurn)
        stored += StoreSpooled(writer);
    if (stored > 0)
        WriteLog(Gbk("数据库恢复，已保存暂存的发卡记录") + std::to_string(stored) + Gbk("条"));
    return stored;
}

size_t THeldRecords::StoreSpooled(THeldRecordWriter& writer) {
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
    if (records.empty() || (records.size() > 1 && writer.StoreTogether(records))) {
        m_spool->RemoveUpTo(rows.back().first);
        return records.size();
    }
    size_t stored = 0;
    for (size_t i = 0; i < records.size() && writer.CanWrite(); ++i) {
        const std::optional<bool> outcome = writer.StoreOne(records[i]);
        if (!outcome)
            break;
        stored += *outcome ? 1 : 0;
        m_spool->RemoveUpTo(ids[i]);
    }
    return stored;
}

void THeldRecords::RetryUntilStopped() {
    auto retry = m_retry.Lock();
    while (!retry->Stop) {
        if (m_retrySignal.wait_for(retry.Raw(), RetryInterval, [&] { return retry->Stop; }))
            break;
        retry.Raw().unlock();
        m_retryTurn();
        retry.Raw().lock();
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

std::string THeldRecords::SpoolRowOf(const TIssueCardRecord& record) {
    return JoinSpoolFields({SpoolRowLayout, record.RegisterId, record.CardNo, record.RoomNo,
                            std::to_string(record.CardType), DateTimeField(record.LastCheckInTime),
                            DateTimeField(record.CheckInTime), DateTimeField(record.CheckOutTime),
                            record.IsCopy ? "1" : "0", record.GuestName, DateTimeField(record.OpratingTime),
                            record.Source});
}

bool THeldRecords::RecordOfSpoolRow(const std::string& row, TIssueCardRecord& record) {
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
