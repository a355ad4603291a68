#include "doorlock/DoorlockRecordStoreUnit.h"

#include "platform/CodePageUnit.h"
#include "server/LogFileUnit.h"

#include <soci/soci.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace {

// How long a statement waits for the write lock of another program on the same SQLite file.
constexpr int BusyTimeoutSeconds = 10;

const char* const CreateRoomTableSql =
    "CREATE TABLE IF NOT EXISTS T_Room(RoomNo TEXT, LastCheckInTime TIMESTAMP)";
const char* const CreateRecordTableSql =
    "CREATE TABLE IF NOT EXISTS T_IssueCardRecord(RegisterId TEXT, CardNo TEXT, RoomNo TEXT, "
    "CardType INTEGER, LastCheckInTime TIMESTAMP, CheckInTime TIMESTAMP, CheckOutTime TIMESTAMP, "
    "IsCopy INTEGER, GuestName TEXT, OpratingTime TIMESTAMP)";
// Every look-up and update finds its rows by room key.
const char* const CreateRoomIndexSql = "CREATE INDEX IF NOT EXISTS IX_Room_RoomNo ON T_Room(RoomNo)";

const char* const LookupSql = "select LastCheckInTime from T_Room where RoomNo=:RoomNo";
const char* const UpdateSql = "update T_Room set LastCheckInTime=:LastCheckInTime where RoomNo=:RoomNo";
const char* const InsertRoomSql =
    "insert into T_Room(RoomNo, LastCheckInTime) Values(:RoomNo, :LastCheckInTime)";
const char* const InsertRecordSql =
    "insert into T_IssueCardRecord(RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, CheckInTime, "
    "CheckOutTime, IsCopy, GuestName, OpratingTime)\n"
    " Values(:RegisterId, :CardNo, :RoomNo, :CardType, :LastCheckInTime, :CheckInTime, :CheckOutTime, "
    ":IsCopy, :GuestName, :OpratingTime)";

bool IsSqlite(const std::string& backend) {
    return backend == "sqlite3";
}

std::string SqliteConnectString(const std::string& path) {
    // SOCI splits its connect string at blanks and takes a double-quoted value whole, with no escape for a
    // quote inside it.
    if (path.find('"') != std::string::npos)
        throw std::runtime_error("The database path contains a double quote: " + path);
    // A value opening with a blank would leave SOCI an empty quoted word.
    std::string value = !path.empty() && path.front() == ' ' ? "./" + path : path;
    return "db=\"" + value + "\" timeout=" + std::to_string(BusyTimeoutSeconds);
}

// Whole seconds: the stored text has no fraction, so the same value must round the same way every time.
std::string DateTimeToDbText(TDateTime value) {
    TDateTimeParts parts = DecodeDateTime(value);
    if (parts.Millisecond >= 500) {
        int seconds = parts.Hour * 3600 + parts.Minute * 60 + parts.Second + 1;
        if (seconds == 86400) {
            TDateTime day = 0;
            TryEncodeDateTime(TDateTimeParts{parts.Year, parts.Month, parts.Day}, day);
            // The day number is whole, so the next day is one more even before 1899-12-30.
            parts = DecodeDateTime(day + 1);
            seconds = 0;
        }
        parts.Hour = seconds / 3600;
        parts.Minute = seconds / 60 % 60;
        parts.Second = seconds % 60;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.Year, parts.Month, parts.Day,
                  parts.Hour, parts.Minute, parts.Second);
    return text;
}

bool ReadDigits(std::string_view text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size())
        return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The text SQLite keeps, or PostgreSQL's ISO text of a TIMESTAMP: "yyyy-mm-dd[ hh:mm:ss[.fraction]]".
bool TryDbTextToDateTime(std::string_view text, TDateTime& value) {
    TDateTimeParts parts;
    if (!ReadDigits(text, 0, 4, parts.Year) || text.size() < 10 || text[4] != '-' ||
        !ReadDigits(text, 5, 2, parts.Month) || text[7] != '-' || !ReadDigits(text, 8, 2, parts.Day))
        return false;
    parts.Hour = parts.Minute = parts.Second = parts.Millisecond = 0;
    if (text.size() > 10) {
        if ((text[10] != ' ' && text[10] != 'T') || !ReadDigits(text, 11, 2, parts.Hour) ||
            text.size() < 19 || text[13] != ':' || !ReadDigits(text, 14, 2, parts.Minute) ||
            text[16] != ':' || !ReadDigits(text, 17, 2, parts.Second))
            return false;
        size_t pos = 19;
        if (pos < text.size() && text[pos] == '.') {
            ++pos;
            int scale = 100;
            for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, scale /= 10)
                parts.Millisecond += (text[pos] - '0') * scale;
        }
        if (pos != text.size())
            return false;
    }
    return TryEncodeDateTime(parts, value);
}

// 0 means no time recorded and is stored as NULL.
void BindDateTime(TDateTime value, std::string& text, soci::indicator& indicator) {
    if (value == 0) {
        text.clear();
        indicator = soci::i_null;
    } else {
        text = DateTimeToDbText(value);
        indicator = soci::i_ok;
    }
}

const std::string& NewRoomText() {
    static const std::string text = Gbk("新建房间");
    return text;
}

} // namespace

// The statements are prepared once per session and run again with new values; the values live here, at
// fixed addresses, because SOCI binds them by reference.
struct TDoorlockRecordStore::TStatements {
    std::string roomNo;
    std::string time;
    soci::indicator timeIndicator = soci::i_null;
    std::string foundTime;
    soci::indicator foundTimeIndicator = soci::i_null;

    std::string registerId;
    std::string cardNo;
    std::string recordRoomNo;
    int cardType = 0;
    std::string lastCheckInTime;
    soci::indicator lastCheckInTimeIndicator = soci::i_null;
    std::string checkInTime;
    soci::indicator checkInTimeIndicator = soci::i_null;
    std::string checkOutTime;
    soci::indicator checkOutTimeIndicator = soci::i_null;
    int isCopy = 0;
    std::string guestName;
    std::string opratingTime;
    soci::indicator opratingTimeIndicator = soci::i_null;

    // Each is prepared on first use, so a damaged table fails only the operations that use it, and
    // dropped after an error, so the next use prepares it afresh.
    std::optional<soci::statement> lookup;
    std::optional<soci::statement> update;
    std::optional<soci::statement> insertRoom;
    std::optional<soci::statement> insertRecord;
};

TDoorlockRecordStore* DoorlockRecordStore = nullptr;

TDoorlockRecordStore::TDoorlockRecordStore(std::string backend, std::string connectString)
    : m_backend(std::move(backend)), m_connectString(std::move(connectString)) {}

TDoorlockRecordStore::~TDoorlockRecordStore() {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    CloseLocked();
}

void TDoorlockRecordStore::OpenDatabase() {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    EnsureOpenLocked();
}

bool TDoorlockRecordStore::IsOpen() const {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    return m_session != nullptr;
}

bool TDoorlockRecordStore::EnsureOpenLocked() {
    if (m_session)
        return true;
    try {
        // The backend is loaded by name at run time (libsoci_<name>.so.4.0 from SOCI's search path, which
        // the environment variable SOCI_BACKENDS_PATH can extend).
        auto session = std::make_unique<soci::session>(
            m_backend, IsSqlite(m_backend) ? SqliteConnectString(m_connectString) : m_connectString);
        if (IsSqlite(m_backend)) {
            // A row must be on disk before the response that follows it goes out: WAL keeps that to one
            // sync per commit, and synchronous=FULL makes that sync happen at every commit.
            std::string journalMode;
            *session << "PRAGMA journal_mode=WAL", soci::into(journalMode);
            *session << "PRAGMA synchronous=FULL";
        }
        *session << CreateRoomTableSql;
        *session << CreateRecordTableSql;
        try {
            *session << CreateRoomIndexSql;
        } catch (const std::exception& e) {
            // Only speed is lost; a T_Room that cannot take the index fails its own statements later.
            LogFailure(e);
        }
        m_session = std::move(session);
        m_statements = std::make_unique<TStatements>();
        return true;
    } catch (const std::exception& e) {
        LogFailure(e);
        return false;
    }
}

bool TDoorlockRecordStore::CloseForExit(std::chrono::milliseconds wait) {
    if (!m_lock.try_lock_for(wait))
        return false;
    // The lock stays taken: nothing may reopen the store before the process ends.
    CloseLocked();
    return true;
}

void TDoorlockRecordStore::CloseLocked() {
    m_statements.reset();
    m_session.reset();
}

void TDoorlockRecordStore::LogFailure(const std::exception& error) {
    // SOCI and the database engines report in ASCII or UTF-8.
    WriteLog(Utf8ToGbk(error.what()));
    // A server connection that has gone is opened afresh by the next operation.
    if (m_session && !m_session->is_connected())
        CloseLocked();
}

TDateTime TDoorlockRecordStore::GetLastCheckInTime(const std::string& roomKey) {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    if (!EnsureOpenLocked())
        return 0;
    TStatements& s = *m_statements;
    try {
        s.roomNo = GbkToUtf8(roomKey);
        if (!s.lookup)
            s.lookup.emplace((m_session->prepare << LookupSql, soci::into(s.foundTime, s.foundTimeIndicator),
                              soci::use(s.roomNo, "RoomNo")));
        if (!s.lookup->execute(true))
            return 0;
        bool isNull = s.foundTimeIndicator == soci::i_null;
        std::string found = s.foundTime;
        // Run the query to its end: a query left part-way holds its read snapshot, which keeps the WAL
        // from being checkpointed.
        while (s.lookup->fetch()) {
        }
        TDateTime value = 0;
        if (isNull || found.empty())
            return 0;
        if (!TryDbTextToDateTime(found, value))
            throw std::runtime_error("Invalid LastCheckInTime '" + found + "' in T_Room");
        return value;
    } catch (const std::exception& e) {
        s.lookup.reset();
        LogFailure(e);
        return 0;
    }
}

void TDoorlockRecordStore::SetLastCheckInTime(const std::string& roomKey, TDateTime time) {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    if (!EnsureOpenLocked())
        return;
    TStatements& s = *m_statements;
    long long affected = 0;
    try {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.update)
            s.update.emplace((m_session->prepare << UpdateSql,
                              soci::use(s.time, s.timeIndicator, "LastCheckInTime"),
                              soci::use(s.roomNo, "RoomNo")));
        s.update->execute(true);
        affected = s.update->get_affected_rows();
    } catch (const std::exception& e) {
        s.update.reset();
        LogFailure(e);
        return;
    }
    if (affected == 0)
        AddRoomLocked(roomKey, time);
}

void TDoorlockRecordStore::AddRoom(const std::string& roomKey, TDateTime time) {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    if (EnsureOpenLocked())
        AddRoomLocked(roomKey, time);
}

void TDoorlockRecordStore::AddRoomLocked(const std::string& roomKey, TDateTime time) {
    TStatements& s = *m_statements;
    try {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.insertRoom)
            s.insertRoom.emplace((m_session->prepare << InsertRoomSql, soci::use(s.roomNo, "RoomNo"),
                                  soci::use(s.time, s.timeIndicator, "LastCheckInTime")));
        s.insertRoom->execute(true);
    } catch (const std::exception& e) {
        s.insertRoom.reset();
        LogFailure(e);
        return;
    }
    WriteLog(NewRoomText() + roomKey);
}

void TDoorlockRecordStore::AddIssueCardRecord(const std::string& registerId, const std::string& cardNo,
                                              const std::string& roomNo, int cardType,
                                              TDateTime lastCheckInTime, TDateTime checkInTime,
                                              TDateTime checkOutTime, bool isCopy,
                                              const std::string& guestName, TDateTime opratingTime) {
    std::unique_lock<std::mutex> queue(m_recordQueueLock);
    m_pendingRecords.push_back(TIssueCardRecord{registerId, cardNo, roomNo, cardType, lastCheckInTime,
                                                checkInTime, checkOutTime, isCopy, guestName, opratingTime});
    const uint64_t mine = ++m_recordsQueued;
    // Group commit: the first caller stores every row queued so far in one transaction while later callers
    // queue theirs; each returns once a commit has covered its own row.
    while (m_recordsStored < mine) {
        if (m_storingRecords) {
            m_recordsStoredSignal.wait(queue);
            continue;
        }
        m_storingRecords = true;
        std::vector<TIssueCardRecord> batch;
        batch.swap(m_pendingRecords);
        const uint64_t last = m_recordsQueued;
        queue.unlock();
        try {
            StoreIssueCardRecords(batch);
        } catch (...) {
            // Not a database error (those are logged): let the next caller take over, then pass it on.
            queue.lock();
            m_recordsStored = last;
            m_storingRecords = false;
            m_recordsStoredSignal.notify_all();
            throw;
        }
        queue.lock();
        m_recordsStored = last;
        m_storingRecords = false;
        m_recordsStoredSignal.notify_all();
    }
}

void TDoorlockRecordStore::StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records) {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    if (records.size() > 1 && EnsureOpenLocked() && StoreTogetherLocked(records))
        return;
    // One at a time, as if each had come alone: an error that ends a whole transaction (a full disk, an I/O
    // error, a trigger's ROLLBACK) takes the shared commit with it, and the batch must not lose the rows it
    // had taken.
    for (const TIssueCardRecord& record : records) {
        if (EnsureOpenLocked())
            InsertIssueCardRecordLocked(record);
    }
}

bool TDoorlockRecordStore::StoreTogetherLocked(const std::vector<TIssueCardRecord>& records) {
    bool begun = false;
    try {
        m_session->begin();
        begun = true;
        for (const TIssueCardRecord& record : records)
            RunInsertRecordLocked(record);
        m_session->commit();
        return true;
    } catch (const std::exception&) {
        // Nothing is logged here: every row is tried again on its own, and that logs what fails.
        m_statements->insertRecord.reset();
        if (begun) {
            try {
                // The error may have ended the transaction already; then there is nothing to undo.
                m_session->rollback();
            } catch (const std::exception&) {
            }
        }
        if (!m_session->is_connected())
            CloseLocked();
        return false;
    }
}

void TDoorlockRecordStore::InsertIssueCardRecordLocked(const TIssueCardRecord& record) {
    try {
        RunInsertRecordLocked(record);
    } catch (const std::exception& e) {
        m_statements->insertRecord.reset();
        LogFailure(e);
    }
}

void TDoorlockRecordStore::RunInsertRecordLocked(const TIssueCardRecord& record) {
    TStatements& s = *m_statements;
    s.registerId = GbkToUtf8(record.RegisterId);
    s.cardNo = GbkToUtf8(record.CardNo);
    s.recordRoomNo = GbkToUtf8(record.RoomNo);
    s.cardType = record.CardType;
    BindDateTime(record.LastCheckInTime, s.lastCheckInTime, s.lastCheckInTimeIndicator);
    BindDateTime(record.CheckInTime, s.checkInTime, s.checkInTimeIndicator);
    BindDateTime(record.CheckOutTime, s.checkOutTime, s.checkOutTimeIndicator);
    s.isCopy = record.IsCopy ? 1 : 0;
    s.guestName = GbkToUtf8(record.GuestName);
    BindDateTime(record.OpratingTime, s.opratingTime, s.opratingTimeIndicator);
    if (!s.insertRecord)
        s.insertRecord.emplace((m_session->prepare << InsertRecordSql, soci::use(s.registerId, "RegisterId"),
                                soci::use(s.cardNo, "CardNo"), soci::use(s.recordRoomNo, "RoomNo"),
                                soci::use(s.cardType, "CardType"),
                                soci::use(s.lastCheckInTime, s.lastCheckInTimeIndicator, "LastCheckInTime"),
                                soci::use(s.checkInTime, s.checkInTimeIndicator, "CheckInTime"),
                                soci::use(s.checkOutTime, s.checkOutTimeIndicator, "CheckOutTime"),
                                soci::use(s.isCopy, "IsCopy"), soci::use(s.guestName, "GuestName"),
                                soci::use(s.opratingTime, s.opratingTimeIndicator, "OpratingTime")));
    s.insertRecord->execute(true);
}
