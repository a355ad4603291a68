#pragma once

#include "platform/DateTimeUnit.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace soci {
class session;
}

// The room check-in record store: T_Room (last check-in time per room key) and T_IssueCardRecord (one row
// per card issue attempt). Every operation catches its own errors and logs the message; none reaches the
// caller. One operation at a time; an operation on a store whose open failed tries to open it again first.
class TDoorlockRecordStore {
public:
    // backend: a SOCI backend name ("sqlite3", "postgresql"); connectString: for SQLite the file path.
    TDoorlockRecordStore(std::string backend, std::string connectString);
    ~TDoorlockRecordStore();

    // Opens the database and creates whichever table is missing. Failures are logged.
    void OpenDatabase();
    bool IsOpen() const;

    // 0 when the room has no row, its time is empty, or the look-up failed.
    TDateTime GetLastCheckInTime(const std::string& roomKey);
    // Updates every row of the room; inserts one (AddRoom) when none was affected.
    void SetLastCheckInTime(const std::string& roomKey, TDateTime time);
    // Logs "新建房间" + room key after a successful insert.
    void AddRoom(const std::string& roomKey, TDateTime time);
    // The row is stored (on disk, for SQLite) when the call returns. Rows added by several threads at the
    // same time share one commit, so one disk sync serves them all; when that commit fails, each row is
    // stored on its own, and one that still fails is logged like a row that came alone.
    void AddIssueCardRecord(const std::string& registerId, const std::string& cardNo,
                            const std::string& roomNo, int cardType, TDateTime lastCheckInTime,
                            TDateTime checkInTime, TDateTime checkOutTime, bool isCopy,
                            const std::string& guestName, TDateTime opratingTime);

    // For a process that ends without waiting for every thread: once no operation runs (waiting at most
    // `wait`), closes the database and keeps every later operation waiting until the process has gone.
    // False, and the database left as it is, when an operation did not end in time.
    bool CloseForExit(std::chrono::milliseconds wait);

private:
    struct TStatements;
    struct TIssueCardRecord {
        std::string RegisterId, CardNo, RoomNo;
        int CardType;
        TDateTime LastCheckInTime, CheckInTime, CheckOutTime;
        bool IsCopy;
        std::string GuestName;
        TDateTime OpratingTime;
    };

    bool EnsureOpenLocked();
    void CloseLocked();
    void AddRoomLocked(const std::string& roomKey, TDateTime time);
    void StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records);
    // All rows in one transaction; false (nothing stored, nothing logged) when any part of it fails.
    bool StoreTogetherLocked(const std::vector<TIssueCardRecord>& records);
    // Logs a failure.
    void InsertIssueCardRecordLocked(const TIssueCardRecord& record);
    // Raises a failure.
    void RunInsertRecordLocked(const TIssueCardRecord& record);
    void LogFailure(const std::exception& error);

    std::string m_backend;
    std::string m_connectString;
    std::unique_ptr<soci::session> m_session;
    // The prepared statements and the values they are bound to; they belong to m_session and go first.
    std::unique_ptr<TStatements> m_statements;
    mutable std::timed_mutex m_lock;

    // Issue-card rows waiting for the commit that stores them; one thread at a time stores a batch.
    std::mutex m_recordQueueLock;
    std::condition_variable m_recordsStoredSignal;
    std::vector<TIssueCardRecord> m_pendingRecords;
    uint64_t m_recordsQueued = 0;
    uint64_t m_recordsStored = 0;
    bool m_storingRecords = false;
};

extern TDoorlockRecordStore* DoorlockRecordStore;
