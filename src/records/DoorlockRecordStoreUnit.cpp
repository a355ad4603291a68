#include "records/DoorlockRecordStoreUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "records/DbDateTimeUnit.h"
#include "records/PostgresConninfoUnit.h"
#include "records/RecordStoreSessionUnit.h"
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
    "IsCopy INTEGER, GuestName TEXT, OpratingTime TIMESTAMP, RequestSource TEXT)";
// A table made before the requests' source was recorded gets the column; its old rows have none.
const char* const AddSourceColumnSql = "ALTER TABLE T_IssueCardRecord ADD COLUMN RequestSource TEXT";
// Every look-up and update finds its rows by room key.
const char* const CreateRoomIndexSql = "CREATE INDEX IF NOT EXISTS IX_Room_RoomNo ON T_Room(RoomNo)";
// The issued-card list reads a room's rows, or every room's, in a range of operation times, newest first. A
// room is named by its whole key or by its room number alone, the key's last four characters: an index on
// that expression serves the second as the key's index serves the first, rows of earlier versions included.
const char* const CreateRecordIndexSql[] = {
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_RoomNo ON T_IssueCardRecord(RoomNo, OpratingTime)",
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_RoomNumber ON "
    "T_IssueCardRecord((substr(RoomNo, length(RoomNo) - 3)), OpratingTime)",
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_OpratingTime ON T_IssueCardRecord(OpratingTime)"};

const char* const LookupSql = "select LastCheckInTime from T_Room where RoomNo=:RoomNo";
const char* const UpdateSql = "update T_Room set LastCheckInTime=:LastCheckInTime where RoomNo=:RoomNo";
const char* const InsertRoomSql =
    "insert into T_Room(RoomNo, LastCheckInTime) Values(:RoomNo, :LastCheckInTime)";
const char* const InsertRecordSql =
    "insert into T_IssueCardRecord(RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, CheckInTime, "
    "CheckOutTime, IsCopy, GuestName, OpratingTime, RequestSource)\n"
    " Values(:RegisterId, :CardNo, :RoomNo, :CardType, :LastCheckInTime, :CheckInTime, :CheckOutTime, "
    ":IsCopy, :GuestName, :OpratingTime, :RequestSource)";

// The key of the advisory lock around schema set-up; room keys hash elsewhere.
const long long SchemaLockKey = AdvisoryLockKey("doorlock-host schema");

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
    std::string requestSource;

    // Each is prepared on first use, so a damaged table fails only the operations that use it, and
    // dropped after an error, so the next use prepares it afresh.
    std::optional<soci::statement> lookup;
    std::optional<soci::statement> update;
    std::optional<soci::statement> insertRoom;
    std::optional<soci::statement> insertRecord;
};

TDoorlockRecordStore* DoorlockRecordStore = nullptr;

TDoorlockRecordStore::TOpenState::TOpenState() = default;
TDoorlockRecordStore::TOpenState::~TOpenState() = default;

// The held rows' way to the server while the store's lock is held: it lives no longer than that lock.
class TDoorlockRecordStore::TSessionWriter final : public THeldRecordWriter {
public:
    TSessionWriter(TDoorlockRecordStore& store, TOpenLock& open) : m_store(store), m_open(open) {}

    bool CanWrite() const override { return m_open->Session != nullptr; }
    std::optional<bool> StoreOne(const TIssueCardRecord& record) override {
        return m_store.StoreHeldRecord(m_open, record);
    }
    bool StoreTogether(const std::vector<TIssueCardRecord>& records) override {
        return m_store.StoreTogether(m_open, records);
    }

private:
    TDoorlockRecordStore& m_store;
    TOpenLock& m_open;
};

TDoorlockRecordStore::TDoorlockRecordStore(std::string backend, std::string connectString,
                                           std::string spoolPath)
    : m_backend(std::move(backend)), m_connectString(std::move(connectString)),
      m_roomLocks(m_connectGate, m_backend, m_connectString),
      m_held(std::move(spoolPath), [this] { RetryTurn(); }) {
    std::string what = m_connectString;
    if (!IsSqlite(m_backend)) {
        try {
            const TPostgresConninfo conninfo = ParsePostgresConninfo(m_connectString);
            what = conninfo.Description;
            if (conninfo.HasPassword)
                m_credentialsWarning =
                    Gbk("警告: Database 中写有数据库密码。请把密码放入 libpq 的密码文件(passfile=, "
                        "只有服务账户可读)，不要写在 Option.ini 中");
        } catch (const std::exception&) {
            what = "PostgreSQL"; // the open logs why
        }
    }
    m_description = Gbk("数据库: ") + (IsSqlite(m_backend) ? "SQLite " : "") + Utf8ToGbk(what);
}

TDoorlockRecordStore::~TDoorlockRecordStore() {
    m_held.StopRetrying();
    auto open = m_open.Lock();
    // One last try for the held rows; what is still held then is logged, so no row goes without a word.
    while (m_held.Any() && EnsureOpen(open) && StoreHeld(open) > 0) {
    }
    m_held.LogUnstored();
    Close(open);
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
    auto open = m_open.Lock();
    EnsureOpen(open);
}

bool TDoorlockRecordStore::IsOpen() const {
    return m_open.Lock()->Session != nullptr;
}

TDoorlockRecordStore::TState TDoorlockRecordStore::State(std::chrono::milliseconds wait) {
    TState state;
    if (const auto open = m_open.TryLockFor(wait))
        state.Open = (*open)->Session != nullptr;
    state.Held = m_held.Held();
    state.Spools = m_held.Spools();
    state.Spooled = m_held.Spooled();
    return state;
}

void TDoorlockRecordStore::WriteMetrics(TMetricsText& text) const {
    m_operations.Write(text);
    m_operationTime.Write(text);
}

void TDoorlockRecordStore::SetConnectBackoff(std::chrono::milliseconds backoff) {
    m_connectGate.SetBackoff(backoff);
}

void TDoorlockRecordStore::SetUpSchema(soci::session& session) {
    // Desks that start together on a fresh server would each create the same table, and IF NOT EXISTS does
    // not guard against another session doing it at the same moment: the set-up takes turns on a lock.
    // step runs the statements of one change; it may look first whether the change is still missing.
    auto run = [&](const auto& step) {
        if (!IsShared()) {
            step();
            return;
        }
        session.begin();
        try {
            session << "SELECT pg_advisory_xact_lock(" + std::to_string(SchemaLockKey) + ")";
            step();
            session.commit();
        } catch (const std::exception&) {
            try {
                session.rollback();
            } catch (const std::exception&) {
            }
            throw;
        }
    };
    const auto runSql = [&](const char* sql) { run([&] { session << sql; }); };
    runSql(CreateRoomTableSql);
    runSql(CreateRecordTableSql);
    // Looked at first rather than added with IF NOT EXISTS: an ALTER waits for every reader of the table (an
    // export under way on another desk), even when it has nothing to do.
    run([&] {
        const auto hasSource = [&] {
            return HasColumn(session, !IsShared(), "T_IssueCardRecord", "RequestSource");
        };
        if (hasSource())
            return;
        try {
            session << AddSourceColumnSql;
        } catch (const std::exception&) {
            // Two programs opening one SQLite file may both find it missing; only one adds it.
            if (IsShared() || !hasSource())
                throw;
        }
    });
    try {
        runSql(CreateRoomIndexSql);
        for (const char* sql : CreateRecordIndexSql)
            runSql(sql);
    } catch (const std::exception& e) {
        // Only speed is lost; a T_Room that cannot take the index fails its own statements later.
        WriteLog(Utf8ToGbk(e.what()));
    }
}

std::optional<TDoorlockRecordStore::TOpenLock> TDoorlockRecordStore::LockForOperation() {
    if (!IsShared())
        return m_open.Lock();
    if (auto open = m_open.TryLockFor(m_operationWait))
        return open;
    WriteLog(Gbk("数据库繁忙，等待超过") + SecondsText(m_operationWait) + Gbk("秒，未执行"));
    return std::nullopt;
}

bool TDoorlockRecordStore::EnsureOpen(TOpenLock& open) {
    return EnsureOpen(open, false);
}

bool TDoorlockRecordStore::EnsureOpen(TOpenLock& open, bool probe) {
    for (;;) {
        if (open->Session) {
            if (!IsSqlite(m_backend) || FileIdentityOf(m_connectString) == open->OpenedFile)
                return true;
            // Closing first lets SQLite remove the old file's journal files by name before a new file takes
            // it.
            Close(open);
        }
        try {
            std::unique_ptr<soci::session> session;
            if (IsSqlite(m_backend)) {
                session = OpenRecordStoreSession(m_backend, m_connectString);
                SetUpSchema(*session);
            } else {
                // A server that does not answer holds the attempt for the connect time-out: meanwhile the
                // operations that have a connection go on.
                open.Raw().unlock();
                const auto connect = [this] {
                    auto opened = OpenRecordStoreSession(m_backend, m_connectString);
                    SetUpSchema(*opened);
                    return opened;
                };
                try {
                    session = probe ? m_connectGate.Probe(connect) : m_connectGate.Open(connect);
                } catch (const std::exception&) {
                    open.Raw().lock();
                    // From now on the retry thread probes the server, and its first success ends the
                    // back-off for everyone.
                    m_held.StartRetrying();
                    throw;
                }
                open.Raw().lock();
                if (probe && !session)
                    return open->Session != nullptr; // another attempt is under way: the next turn looks
                if (!session || open->Session)
                    continue; // opened by another operation meanwhile, or its attempt is to be seen
            }
            open->Session = std::move(session);
            open->Statements = std::make_unique<TStatements>();
            if (IsSqlite(m_backend))
                open->OpenedFile = FileIdentityOf(m_connectString);
            if (!probe)
                StoreHeld(open);
            return open->Session != nullptr;
        } catch (const std::exception& e) {
            if (!probe)
                LogFailure(open, e);
            return false;
        }
    }
}

void TDoorlockRecordStore::RetryTurn() {
    auto open = m_open.Lock();
    // Probes are not logged: the failure that began the outage was, and probes would fill the log.
    if ((!open->Session && m_connectGate.InBackoff()) || m_held.Any()) {
        if (EnsureOpen(open, true))
            StoreHeld(open);
    }
}

size_t TDoorlockRecordStore::StoreHeld(TOpenLock& open) {
    TSessionWriter writer(*this, open);
    return m_held.StoreSome(writer);
}

bool TDoorlockRecordStore::CloseForExit(std::chrono::milliseconds wait) {
    auto open = m_open.TryLockFor(wait);
    if (!open)
        return false;
    Close(*open);
    // The lock stays taken: nothing may reopen the store before the process ends.
    open->Raw().release();
    return true;
}

void TDoorlockRecordStore::Close(TOpenLock& open) {
    open->Statements.reset();
    open->Session.reset();
}

void TDoorlockRecordStore::LogFailure(TOpenLock& open, const std::exception& error) {
    // SOCI and the database engines report in ASCII or UTF-8.
    WriteLog(Utf8ToGbk(error.what()));
    NoteFailure(open, error);
}

void TDoorlockRecordStore::NoteFailure(TOpenLock& open, const std::exception& error) {
    open->LastFailure = ClassifyStoreError(error);
    // A server connection that has gone is opened afresh by the next operation, and so is one to a server
    // that no longer takes writes: with the same settings, a multi-host setting finds the new primary.
    if (open->Session && (!open->Session->is_connected() || open->LastFailure == TStoreErrorKind::ReadOnly))
        Close(open);
}

template <typename TMember, typename TStep>
bool TDoorlockRecordStore::Run(TOpenLock& open, TMember statement, TStep step) {
    // A connection found lost after a failure (a server restart since the last operation) is opened again
    // and the step run once more, so the restart costs at most an operation that was under way.
    const auto started = std::chrono::steady_clock::now();
    auto counted = [&](bool ok) {
        m_operations.Add({ok ? "ok" : "failed"});
        m_operationTime.Observe(std::chrono::steady_clock::now() - started);
        return ok;
    };
    for (int attempt = 0;; ++attempt) {
        if (!EnsureOpen(open))
            return counted(false);
        try {
            step(*open->Session, *open->Statements);
            return counted(true);
        } catch (const std::exception& e) {
            ((*open->Statements).*statement).reset();
            LogFailure(open, e);
            if (open->Session || attempt > 0)
                return counted(false);
        }
    }
}

std::optional<TDateTime> TDoorlockRecordStore::GetLastCheckInTime(const std::string& roomKey) {
    TDateTime value = 0;
    auto open = LockForOperation();
    if (!open)
        return std::nullopt;
    const bool lookedUp = Run(*open, &TStatements::lookup, [&](soci::session& session, TStatements& s) {
        value = 0;
        s.roomNo = GbkToUtf8(roomKey);
        if (!s.lookup)
            s.lookup.emplace((session.prepare << LookupSql, soci::into(s.foundTime, s.foundTimeIndicator),
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
    if (!lookedUp)
        return std::nullopt;
    return value;
}

void TDoorlockRecordStore::SetLastCheckInTime(const std::string& roomKey, TDateTime time) {
    auto open = LockForOperation();
    if (!open)
        return;
    long long affected = 0;
    const bool updated = Run(*open, &TStatements::update, [&](soci::session& session, TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.update)
            s.update.emplace((session.prepare << UpdateSql,
                              soci::use(s.time, s.timeIndicator, "LastCheckInTime"),
                              soci::use(s.roomNo, "RoomNo")));
        s.update->execute(true);
        affected = s.update->get_affected_rows();
    });
    // No insert after a failed update.
    if (updated && affected == 0)
        AddRoom(*open, roomKey, time);
}

void TDoorlockRecordStore::AddRoom(const std::string& roomKey, TDateTime time) {
    auto open = LockForOperation();
    if (!open)
        return;
    AddRoom(*open, roomKey, time);
}

void TDoorlockRecordStore::AddRoom(TOpenLock& open, const std::string& roomKey, TDateTime time) {
    const bool added = Run(open, &TStatements::insertRoom, [&](soci::session& session, TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.insertRoom)
            s.insertRoom.emplace((session.prepare << InsertRoomSql, soci::use(s.roomNo, "RoomNo"),
                                  soci::use(s.time, s.timeIndicator, "LastCheckInTime")));
        s.insertRoom->execute(true);
    });
    if (added)
        WriteLog(NewRoomText() + roomKey);
}

void TDoorlockRecordStore::AddIssueCardRecord(const TIssueCardRecord& record) {
    m_recordCommits.Submit(
        record, [this](const std::vector<TIssueCardRecord>& batch) { StoreIssueCardRecords(batch); });
}

void TDoorlockRecordStore::StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records) {
    auto open = LockForOperation();
    if (!open) {
        // The session is busy past the budget (a blocked server): the rows wait for the retry thread.
        for (const TIssueCardRecord& record : records)
            m_held.Hold(record);
        return;
    }
    if (records.size() > 1 && EnsureOpen(*open) && StoreTogether(*open, records))
        return;
    // One at a time, as if each had come alone: an error that ends a whole transaction (a full disk, an I/O
    // error, a trigger's ROLLBACK) takes the shared commit with it, and the batch must not lose the rows it
    // had taken.
    bool keepRest = false;
    for (const TIssueCardRecord& record : records) {
        // Once the server is found out of reach, slow or read-only, the rest of the batch is kept with that
        // row: each would wait as long again.
        if (keepRest) {
            m_held.Hold(record);
            continue;
        }
        if (EnsureOpen(*open) && InsertIssueCardRecord(*open, record))
            continue;
        if (IsShared() && (!(*open)->Session || (*open)->LastFailure != TStoreErrorKind::Refused)) {
            keepRest = true;
            m_held.Hold(record);
        }
    }
}

std::optional<bool> TDoorlockRecordStore::StoreHeldRecord(TOpenLock& open, const TIssueCardRecord& record) {
    try {
        RunInsertRecord(open, record);
        return true;
    } catch (const std::exception& e) {
        open->Statements->insertRecord.reset();
        // A server out of reach, slow or read-only keeps the row, without a word: its outage was logged, and
        // the tries would fill the log. A row the server refuses goes, logged like one that came alone.
        NoteFailure(open, e);
        if (!open->Session || open->LastFailure != TStoreErrorKind::Refused)
            return std::nullopt;
        LogFailure(open, e);
        return false;
    }
}

bool TDoorlockRecordStore::StoreTogether(TOpenLock& open, const std::vector<TIssueCardRecord>& records) {
    bool begun = false;
    try {
        open->Session->begin();
        begun = true;
        for (const TIssueCardRecord& record : records)
            RunInsertRecord(open, record);
        open->Session->commit();
        return true;
    } catch (const std::exception&) {
        // Nothing is logged here: every row is tried again on its own, and that logs what fails.
        open->Statements->insertRecord.reset();
        if (begun) {
            try {
                // The error may have ended the transaction already; then there is nothing to undo.
                open->Session->rollback();
            } catch (const std::exception&) {
            }
        }
        if (!open->Session->is_connected())
            Close(open);
        return false;
    }
}

bool TDoorlockRecordStore::InsertIssueCardRecord(TOpenLock& open, const TIssueCardRecord& record) {
    return Run(open, &TStatements::insertRecord,
               [&](soci::session&, TStatements&) { RunInsertRecord(open, record); });
}

void TDoorlockRecordStore::RunInsertRecord(TOpenLock& open, const TIssueCardRecord& record) {
    TStatements& s = *open->Statements;
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
    s.requestSource = GbkToUtf8(record.Source);
    if (!s.insertRecord)
        s.insertRecord.emplace((open->Session->prepare << InsertRecordSql,
                                soci::use(s.registerId, "RegisterId"), soci::use(s.cardNo, "CardNo"),
                                soci::use(s.recordRoomNo, "RoomNo"), soci::use(s.cardType, "CardType"),
                                soci::use(s.lastCheckInTime, s.lastCheckInTimeIndicator, "LastCheckInTime"),
                                soci::use(s.checkInTime, s.checkInTimeIndicator, "CheckInTime"),
                                soci::use(s.checkOutTime, s.checkOutTimeIndicator, "CheckOutTime"),
                                soci::use(s.isCopy, "IsCopy"), soci::use(s.guestName, "GuestName"),
                                soci::use(s.opratingTime, s.opratingTimeIndicator, "OpratingTime"),
                                soci::use(s.requestSource, "RequestSource")));
    s.insertRecord->execute(true);
}
