#pragma once

#include "platform/DateTimeUnit.h"
#include "platform/FileUnit.h"
#include "platform/GuardedUnit.h"
#include "records/ConnectGateUnit.h"
#include "records/GroupCommitUnit.h"
#include "records/HeldRecordsUnit.h"
#include "records/IssueCardRecordUnit.h"
#include "records/PostgresConninfoUnit.h"
#include "records/RecordStoreBudgetUnit.h"
#include "records/RecordStoreErrorUnit.h"
#include "records/RecordStoreTargetUnit.h"
#include "records/RoomLockPoolUnit.h"
#include "server/MetricsUnit.h"

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace soci {
class session;
}

// The room check-in record store: T_Room (last check-in time per room key) and T_IssueCardRecord (one row
// per card issue attempt). Every operation catches its own errors and logs the message; none reaches the
// caller. One operation at a time; an operation on a store whose open failed, or whose SQLite file was
// deleted or replaced meanwhile, opens it again first.
//
// A server is connected to outside the store's lock, one attempt at a time; after a failed attempt every
// operation that needs a connection fails at once (logged) until the back-off has passed or a probe, every
// half second, finds the server answering again, so a server that does not answer costs a request at most one
// connect time-out. An operation on a server store waits for the store's session at most StoreOperationWait
// and its statement ends after the statement time-out, so a blocked server holds no card issue past its
// budget. Issue rows that could not be stored because the server was out of reach, slow or read-only are
// kept and stored once it answers again. A session on a server that no longer takes writes (a standby
// after a failover) is opened again with the same settings, so a multi-host setting finds the new primary.
class TDoorlockRecordStore {
public:
    // backend: a SOCI backend name ("sqlite3", "postgresql"); connectString: for SQLite the file path, for
    // PostgreSQL a URI or keyword=value text; spoolPath: the spool file of a server store (none: rows the
    // server did not take wait in memory only). Rows left in the spool by an earlier run are stored once the
    // server answers.
    TDoorlockRecordStore(std::string backend, std::string connectString, std::string spoolPath = {});
    explicit TDoorlockRecordStore(const TRecordStoreTarget& target)
        : TDoorlockRecordStore(target.Backend, target.ConnectString, target.SpoolPath) {}
    ~TDoorlockRecordStore();

    // Which store this is, for the start-up log; never the password.
    const std::string& Description() const { return m_description; }
    // For the start-up log: a warning when the settings carry a password, naming the better place; else
    // empty.
    const std::string& CredentialsWarning() const { return m_credentialsWarning; }
    // True for a server that other hosts may share: then a card issue holds its room's lock there.
    bool IsShared() const;
    // Raises when this build cannot reach the store at all (CheckRecordStoreTarget).
    void CheckUsable() const;

    // Waits up to the lock wait (3 s) for the room's lock; without it (waited too long, no server) the
    // issue goes on unlocked, which is logged. Other rooms never wait for it.
    TRoomLock LockRoom(const std::string& roomKey);
    void SetLockWait(std::chrono::milliseconds wait) { m_roomLocks.SetLockWait(wait); }
    void SetConnectBackoff(std::chrono::milliseconds backoff);
    // How long an operation on a server store waits for the session that another operation uses.
    void SetOperationWait(std::chrono::milliseconds wait) { m_operationWait = wait; }

    // Opens the database and creates whichever table is missing. Failures are logged.
    void OpenDatabase();
    bool IsOpen() const;

    // 0 when the room has no row or its time is empty; nullopt when the look-up failed (logged).
    std::optional<TDateTime> GetLastCheckInTime(const std::string& roomKey);
    // Updates every row of the room; inserts one (AddRoom) when none was affected.
    void SetLastCheckInTime(const std::string& roomKey, TDateTime time);
    // Logs "新建房间" + room key after a successful insert.
    void AddRoom(const std::string& roomKey, TDateTime time);
    // The row is stored (on disk, for SQLite) when the call returns. Rows added by several threads at the
    // same time share one commit, so one disk sync serves them all; when that commit fails, each row is
    // stored on its own, and one that still fails is logged like a row that came alone.
    void AddIssueCardRecord(const TIssueCardRecord& record);

    // For the monitor, without holding up an operation: whether a session is open (nullopt when an operation
    // held the store all of wait), whether rows that the server does not take go to a spool file, and the
    // rows held in memory and waiting in the spool.
    struct TState {
        std::optional<bool> Open;
        bool Spools = false;
        size_t Held = 0;
        size_t Spooled = 0;
    };
    TState State(std::chrono::milliseconds wait);
    // The store's operations (statements run, by result) and their time, as metric families.
    void WriteMetrics(TMetricsText& text) const;

    // For a process that ends without waiting for every thread: once no operation runs (waiting at most
    // `wait`), closes the database and keeps every later operation waiting until the process has gone.
    // False, and the database left as it is, when an operation did not end in time.
    bool CloseForExit(std::chrono::milliseconds wait);

private:
    struct TStatements;
    // What the store's lock guards: the session and what belongs to it.
    struct TOpenState {
        std::unique_ptr<soci::session> Session;
        // The SQLite file the session opened. Another file or none at the path means it was deleted or
        // replaced while open: rows written through the old session would go to a file nobody will read
        // again.
        std::optional<TFileIdentity> OpenedFile;
        // The prepared statements and the values they are bound to; they belong to Session and go first.
        std::unique_ptr<TStatements> Statements;
        // What the last failure logged by LogFailure said about the server.
        TStoreErrorKind LastFailure = TStoreErrorKind::Refused;

        TOpenState();
        ~TOpenState();
    };
    using TOpenLock = TGuarded<TOpenState, std::timed_mutex>::TLocked;
    class TSessionWriter;

    // Creates whichever table, column or index is missing.
    void SetUpSchema(soci::session& session);
    // statement: the member of TStatements that step runs.
    template <typename TMember, typename TStep> bool Run(TOpenLock& open, TMember statement, TStep step);
    // Takes the store's lock: on a server store waiting m_operationWait at most (nullopt, logged, without
    // it).
    std::optional<TOpenLock> LockForOperation();
    // May release the lock while it connects to a server.
    bool EnsureOpen(TOpenLock& open);
    // probe: connects during the back-off too, and a failed open is not logged (the retry thread's probes).
    bool EnsureOpen(TOpenLock& open, bool probe);
    // A turn of the held rows' retry thread: probes a server the store could not reach, and stores the held
    // rows.
    void RetryTurn();
    // Held rows stored through the open session.
    size_t StoreHeld(TOpenLock& open);
    void Close(TOpenLock& open);
    void AddRoom(TOpenLock& open, const std::string& roomKey, TDateTime time);
    void StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records);
    // A held or spooled row, as THeldRecordWriter::StoreOne says.
    std::optional<bool> StoreHeldRecord(TOpenLock& open, const TIssueCardRecord& record);
    // All rows in one transaction; false (nothing stored, nothing logged) when any part of it fails.
    bool StoreTogether(TOpenLock& open, const std::vector<TIssueCardRecord>& records);
    // Logs a failure; false when it failed.
    bool InsertIssueCardRecord(TOpenLock& open, const TIssueCardRecord& record);
    // Raises a failure.
    void RunInsertRecord(TOpenLock& open, const TIssueCardRecord& record);
    void LogFailure(TOpenLock& open, const std::exception& error);
    // What LogFailure does without the log line: notes the kind and closes a session that cannot go on.
    void NoteFailure(TOpenLock& open, const std::exception& error);

    std::string m_backend;
    std::string m_connectString;
    std::string m_description;
    std::string m_credentialsWarning;
    mutable TGuarded<TOpenState, std::timed_mutex> m_open;
    std::chrono::milliseconds m_operationWait = StoreOperationWait;
    TConnectGate m_connectGate;

    // Issue-card rows of callers at the same time, stored in one commit.
    TGroupCommit<TIssueCardRecord> m_recordCommits;

    TCounterFamily m_operations{"doorlock_store_operations_total",
                                "Record store operations, by result (ok or failed).",
                                {"result"},
                                4};
    THistogram m_operationTime{"doorlock_store_operation_seconds", "Time of record store operations.",
                               DurationBuckets()};

    // After the gate, which it connects through.
    TRoomLockPool m_roomLocks;

    // Issue rows the server did not take, stored by the next open that succeeds and by the retry thread.
    // Last: its retry thread, which rows left in the spool start at once, works on everything above.
    THeldRecords m_held;
};

extern TDoorlockRecordStore* DoorlockRecordStore;
