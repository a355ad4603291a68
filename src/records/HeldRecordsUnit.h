#pragma once

#include "platform/GuardedUnit.h"
#include "records/IssueCardRecordUnit.h"
#include "records/RecordSpoolUnit.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How the held rows reach the server: the store's session, lent for a turn while the store's lock is held.
class THeldRecordWriter {
public:
    virtual ~THeldRecordWriter() = default;
    // Whether a session is open to write through; a failure may close it part-way through a turn.
    virtual bool CanWrite() const = 0;
    // true when stored; false when the server refused the row (logged; the row goes); nullopt when the server
    // is out of reach, slow or read-only (the row stays).
    virtual std::optional<bool> StoreOne(const TIssueCardRecord& record) = 0;
    // All rows in one transaction; false (nothing stored, nothing logged) when any part of it fails.
    virtual bool StoreTogether(const std::vector<TIssueCardRecord>& records) = 0;
};

// The issued-card rows of a server store that the server did not take yet: in the spool file, durably, or
// where it cannot take them (or the store has none) in memory. A retry thread, started with the first row
// held or the first failed connection, runs the store's retry turn every half second until the store ends;
// the turn, and every open of the store that succeeds, stores the rows through StoreSome.
class THeldRecords {
public:
    // spoolPath: empty keeps rows in memory only. Rows left in the spool by an earlier run are logged, and
    // the retry thread started for them.
    THeldRecords(std::string spoolPath, std::function<void()> retryTurn);
    ~THeldRecords();
    THeldRecords(const THeldRecords&) = delete;
    THeldRecords& operator=(const THeldRecords&) = delete;

    // Keeps the row (logged), or logs it as not stored when the memory or the spool is full.
    void Hold(const TIssueCardRecord& record);
    // Whether any row waits, in memory or in the spool.
    bool Any();
    // Stores held rows, a turn's worth at most, until none is left or the writer fails; the number stored.
    size_t StoreSome(THeldRecordWriter& writer);

    // Starts the retry thread unless it runs or has been stopped.
    void StartRetrying();
    // Ends the retry thread for good, waiting for its turn under way.
    void StopRetrying();
    // Logs each row still held in memory as not stored; the spool's rows wait for the next start.
    void LogUnstored();

    bool Spools() const { return m_spool != nullptr; }
    size_t Held();
    size_t Spooled();

private:
    // A row as the spool keeps it, and back; false for a spooled row that is not one.
    static std::string SpoolRowOf(const TIssueCardRecord& record);
    static bool RecordOfSpoolRow(const std::string& row, TIssueCardRecord& record);
    size_t StoreSpooled(THeldRecordWriter& writer);
    void RetryUntilStopped();

    std::unique_ptr<TRecordSpool> m_spool;
    TGuarded<std::deque<TIssueCardRecord>> m_rows;

    struct TRetry {
        bool Stop = false;
        std::thread Thread;
    };
    std::function<void()> m_retryTurn;
    TGuarded<TRetry> m_retry;
    std::condition_variable m_retrySignal;
};
