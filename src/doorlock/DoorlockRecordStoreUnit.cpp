#include "doorlock/DoorlockRecordStoreUnit.h"

#include "doorlock/DbDateTimeUnit.h"
#include "doorlock/PostgresConninfoUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "server/LogFileUnit.h"

#include <soci/soci.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

const char* const CreateRoomTableSql =
    "CREATE TABLE IF NOT EXISTS T_Room(RoomNo TEXT, LastCheckInTime TIMESTAMP)";
const char* const CreateRecordTableSql =
    "CREATE TABLE IF NOT EXISTS T_IssueCardRecord(RegisterId TEXT, CardNo TEXT, RoomNo TEXT, "
    "CardType INTEGER, LastCheckInTime TIMESTAMP, CheckInTime TIMESTAMP, CheckOutTime TIMESTAMP, "
    "IsCopy INTEGER, GuestName TEXT, OpratingTime TIMESTAMP)";
// Every look-up and update finds its rows by room key.
const char* const CreateRoomIndexSql = "CREATE INDEX IF NOT EXISTS IX_Room_RoomNo ON T_Room(RoomNo)";
// The issued-card list reads a room's rows, or every room's, in a range of operation times, newest first.
const char* const CreateRecordIndexSql[] = {
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_RoomNo ON T_IssueCardRecord(RoomNo, OpratingTime)",
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_OpratingTime ON T_IssueCardRecord(OpratingTime)"};

const char* const LookupSql = "select LastCheckInTime from T_Room where RoomNo=:RoomNo";
const char* const UpdateSql = "update T_Room set LastCheckInTime=:LastCheckInTime where RoomNo=:RoomNo";
const char* const InsertRoomSql =
    "insert into T_Room(RoomNo, LastCheckInTime) Values(:RoomNo, :LastCheckInTime)";
const char* const InsertRecordSql =
    "insert into T_IssueCardRecord(RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, CheckInTime, "
    "CheckOutTime, IsCopy, GuestName, OpratingTime)\n"
    " Values(:RegisterId, :CardNo, :RoomNo, :CardType, :LastCheckInTime, :CheckInTime, :CheckOutTime, "
    ":IsCopy, :GuestName, :OpratingTime)";

// Issue rows kept at most while the server is out of reach; one more is logged as not stored.
constexpr size_t MaxHeldRecords = 10000;
// How often held rows are tried again at the least, whatever the back-off.
constexpr auto MinHeldRetryInterval = std::chrono::seconds(1);

// The key of the advisory lock around schema set-up; room keys hash elsewhere.
const long long SchemaLockKey = AdvisoryLockKey("doorlock-host schema");

std::string IssueRecordText(const std::string& cardNo, const std::string& roomNo) {
    return Gbk("卡号") + cardNo + Gbk(", 房间") + roomNo;
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
    : m_backend(std::move(backend)), m_connectString(std::move(connectString)),
      m_roomLocks(m_connectGate, m_backend, m_connectString) {
    std::string what = m_connectString;
    if (!IsSqlite(m_backend)) {
        try {
            what = ParsePostgresConninfo(m_connectString).Description;
        } catch (const std::exception&) {
            what = "PostgreSQL"; // the open logs why
        }
    }
    m_description = Gbk("数据库: ") + (IsSqlite(m_backend) ? "SQLite " : "") + Utf8ToGbk(what);
}

TDoorlockRecordStore::~TDoorlockRecordStore() {
    {
        std::lock_guard<std::mutex> retry(m_retryLock);
        m_retryStop = true;
    }
    m_retrySignal.notify_all();
    if (m_retryThread.joinable())
        m_retryThread.join();
    std::unique_lock<std::timed_mutex> guard(m_lock);
    // One last try for the held rows; what is still held then is logged, so no row goes without a word.
    if (!m_heldRecords.empty() && EnsureOpenLocked(guard))
        StoreHeldRecordsLocked();
    for (const TIssueCardRecord& record : m_heldRecords)
        WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    CloseLocked();
}

bool TDoorlockRecordStore::IsShared() const {
    return !IsSqlite(m_backend);
}

void TDoorlockRecordStore::CheckUsable() const {
    CheckRecordStoreTarget({m_backend, m_connectString}, HasPostgresClient());
}

TRoomLock TDoorlockRecordStore::LockRoom(const std::string& roomKey) {
    return IsShared() ? m_roomLocks.Lock(roomKey) : TRoomLock();
}

void TDoorlockRecordStore::OpenDatabase() {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    EnsureOpenLocked(guard);
}

bool TDoorlockRecordStore::IsOpen() const {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    return m_session != nullptr;
}

void TDoorlockRecordStore::SetConnectBackoff(std::chrono::milliseconds backoff) {
    m_connectGate.SetBackoff(backoff);
}

void TDoorlockRecordStore::SetUpSchema(soci::session& session) {
    // Desks that start together on a fresh server would each create the same table, and IF NOT EXISTS does
    // not guard against another session doing it at the same moment: the set-up takes turns on a lock.
    auto run = [&](const char* sql) {
        if (!IsShared()) {
            session << sql;
            return;
        }
        session.begin();
        try {
            session << "SELECT pg_advisory_xact_lock(" + std::to_string(SchemaLockKey) + ")";
            session << sql;
            session.commit();
        } catch (const std::exception&) {
            try {
                session.rollback();
            } catch (const std::exception&) {
            }
            throw;
        }
    };
    run(CreateRoomTableSql);
    run(CreateRecordTableSql);
    try {
        run(CreateRoomIndexSql);
        for (const char* sql : CreateRecordIndexSql)
            run(sql);
    } catch (const std::exception& e) {
        // Only speed is lost; a T_Room that cannot take the index fails its own statements later.
        WriteLog(Utf8ToGbk(e.what()));
    }
}

bool TDoorlockRecordStore::EnsureOpenLocked(std::unique_lock<std::timed_mutex>& guard) {
    return EnsureOpenLocked(guard, true);
}

bool TDoorlockRecordStore::EnsureOpenLocked(std::unique_lock<std::timed_mutex>& guard, bool logFailure) {
    for (;;) {
        if (m_session) {
            if (!IsSqlite(m_backend) || FileIdentityOf(m_connectString) == m_openedFile)
                return true;
            // Closing first lets SQLite remove the old file's journal files by name before a new file takes
            // it.
            CloseLocked();
        }
        try {
            std::unique_ptr<soci::session> session;
            if (IsSqlite(m_backend)) {
                session = OpenRecordStoreSession(m_backend, m_connectString);
                SetUpSchema(*session);
            } else {
                // A server that does not answer holds the attempt for the connect time-out: meanwhile the
                // operations that have a connection go on.
                guard.unlock();
                try {
                    session = m_connectGate.Open([this] {
                        auto opened = OpenRecordStoreSession(m_backend, m_connectString);
                        SetUpSchema(*opened);
                        return opened;
                    });
                } catch (const std::exception&) {
                    guard.lock();
                    throw;
                }
                guard.lock();
                if (!session || m_session)
                    continue; // opened by another operation meanwhile, or its attempt is to be seen
            }
            m_session = std::move(session);
            m_statements = std::make_unique<TStatements>();
            if (IsSqlite(m_backend))
                m_openedFile = FileIdentityOf(m_connectString);
            StoreHeldRecordsLocked();
            return m_session != nullptr;
        } catch (const std::exception& e) {
            if (logFailure)
                LogFailure(e);
            return false;
        }
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

template <typename TMember, typename TStep>
bool TDoorlockRecordStore::RunLocked(std::unique_lock<std::timed_mutex>& guard, TMember statement,
                                     TStep step) {
    // A connection found lost after a failure (a server restart since the last operation) is opened again
    // and the step run once more, so the restart costs at most an operation that was under way.
    for (int attempt = 0;; ++attempt) {
        if (!EnsureOpenLocked(guard))
            return false;
        try {
            step(*m_statements);
            return true;
        } catch (const std::exception& e) {
            ((*m_statements).*statement).reset();
            LogFailure(e);
            if (m_session || attempt > 0)
                return false;
        }
    }
}

TDateTime TDoorlockRecordStore::GetLastCheckInTime(const std::string& roomKey) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    TDateTime value = 0;
    RunLocked(guard, &TStatements::lookup, [&](TStatements& s) {
        value = 0;
        s.roomNo = GbkToUtf8(roomKey);
        if (!s.lookup)
            s.lookup.emplace((m_session->prepare << LookupSql, soci::into(s.foundTime, s.foundTimeIndicator),
                              soci::use(s.roomNo, "RoomNo")));
        if (!s.lookup->execute(true))
            return;
        bool isNull = s.foundTimeIndicator == soci::i_null;
        std::string found = s.foundTime;
        // Run the query to its end: a query left part-way holds its read snapshot, which keeps the WAL
        // from being checkpointed.
        while (s.lookup->fetch()) {
        }
        if (isNull || found.empty())
            return;
        if (!TryIsoStrToDateTime(found, value)) {
            value = 0;
            throw std::runtime_error("Invalid LastCheckInTime '" + found + "' in T_Room");
        }
    });
    return value;
}

void TDoorlockRecordStore::SetLastCheckInTime(const std::string& roomKey, TDateTime time) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    long long affected = 0;
    const bool updated = RunLocked(guard, &TStatements::update, [&](TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.update)
            s.update.emplace((m_session->prepare << UpdateSql,
                              soci::use(s.time, s.timeIndicator, "LastCheckInTime"),
                              soci::use(s.roomNo, "RoomNo")));
        s.update->execute(true);
        affected = s.update->get_affected_rows();
    });
    // No insert after a failed update.
    if (updated && affected == 0)
        AddRoomLocked(guard, roomKey, time);
}

void TDoorlockRecordStore::AddRoom(const std::string& roomKey, TDateTime time) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    AddRoomLocked(guard, roomKey, time);
}

void TDoorlockRecordStore::AddRoomLocked(std::unique_lock<std::timed_mutex>& guard,
                                         const std::string& roomKey, TDateTime time) {
    const bool added = RunLocked(guard, &TStatements::insertRoom, [&](TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.insertRoom)
            s.insertRoom.emplace((m_session->prepare << InsertRoomSql, soci::use(s.roomNo, "RoomNo"),
                                  soci::use(s.time, s.timeIndicator, "LastCheckInTime")));
        s.insertRoom->execute(true);
    });
    if (added)
        WriteLog(NewRoomText() + roomKey);
}

void TDoorlockRecordStore::AddIssueCardRecord(const std::string& registerId, const std::string& cardNo,
                                              const std::string& roomNo, int cardType,
                                              TDateTime lastCheckInTime, TDateTime checkInTime,
                                              TDateTime checkOutTime, bool isCopy,
                                              const std::string& guestName, TDateTime opratingTime) {
    m_recordCommits.Submit(
        TIssueCardRecord{registerId, cardNo, roomNo, cardType, lastCheckInTime, checkInTime, checkOutTime,
                         isCopy, guestName, opratingTime},
        [this](const std::vector<TIssueCardRecord>& batch) { StoreIssueCardRecords(batch); });
}

void TDoorlockRecordStore::StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    if (records.size() > 1 && EnsureOpenLocked(guard) && StoreTogetherLocked(records))
        return;
    // One at a time, as if each had come alone: an error that ends a whole transaction (a full disk, an I/O
    // error, a trigger's ROLLBACK) takes the shared commit with it, and the batch must not lose the rows it
    // had taken.
    bool outOfReach = false;
    for (const TIssueCardRecord& record : records) {
        // Once the server is found out of reach, the rest of the batch is kept with that row.
        if (outOfReach) {
            HoldRecordLocked(record);
            continue;
        }
        if (EnsureOpenLocked(guard) && InsertIssueCardRecordLocked(guard, record))
            continue;
        if (IsShared() && !m_session) {
            outOfReach = true;
            HoldRecordLocked(record);
        }
    }
}

void TDoorlockRecordStore::HoldRecordLocked(const TIssueCardRecord& record) {
    if (m_heldRecords.size() >= MaxHeldRecords) {
        WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
        return;
    }
    m_heldRecords.push_back(record);
    WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    std::lock_guard<std::mutex> retry(m_retryLock);
    if (!m_retryThread.joinable() && !m_retryStop)
        m_retryThread = std::thread([this] { RetryHeldRecords(); });
}

void TDoorlockRecordStore::StoreHeldRecordsLocked() {
    size_t stored = 0;
    while (!m_heldRecords.empty() && m_session) {
        try {
            RunInsertRecordLocked(m_heldRecords.front());
            ++stored;
        } catch (const std::exception& e) {
            m_statements->insertRecord.reset();
            LogFailure(e);
            // A lost connection keeps the row; a row the server refuses goes, logged like one that came
            // alone.
            if (!m_session)
                break;
        }
        m_heldRecords.pop_front();
    }
    if (stored > 0)
        WriteLog(Gbk("数据库恢复，已保存暂存的发卡记录") + std::to_string(stored) + Gbk("条"));
}

void TDoorlockRecordStore::RetryHeldRecords() {
    std::unique_lock<std::mutex> retry(m_retryLock);
    while (!m_retryStop) {
        const auto interval =
            std::max<std::chrono::milliseconds>(m_connectGate.Backoff(), MinHeldRetryInterval);
        if (m_retrySignal.wait_for(retry, interval, [this] { return m_retryStop; }))
            break;
        retry.unlock();
        {
            std::unique_lock<std::timed_mutex> guard(m_lock);
            // Not logged: the rows were when they were kept, and an outage would fill the log.
            if (!m_heldRecords.empty() && EnsureOpenLocked(guard, false))
                StoreHeldRecordsLocked();
        }
        retry.lock();
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

bool TDoorlockRecordStore::InsertIssueCardRecordLocked(std::unique_lock<std::timed_mutex>& guard,
                                                       const TIssueCardRecord& record) {
    return RunLocked(guard, &TStatements::insertRecord, [&](TStatements&) { RunInsertRecordLocked(record); });
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
