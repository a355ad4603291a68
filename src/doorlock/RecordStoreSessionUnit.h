#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace soci {
class session;
}

// What [DoorlockOption] Database selects: empty gives Client.db in the program directory (SQLite); any other
// text names a PostgreSQL server, as a postgresql:// URI or libpq keyword=value text.
struct TRecordStoreTarget {
    std::string Backend;       // "sqlite3" or "postgresql"
    std::string ConnectString; // SQLite: the file path; PostgreSQL: the option's text
};
TRecordStoreTarget RecordStoreTarget(const std::string& database, const std::string& programDir);

bool IsSqlite(const std::string& backend);

// Raises when a build without a PostgreSQL client is given a server: every row would be lost while the
// host answers as if it had stored them, so such a setting stops the start instead.
void CheckRecordStoreTarget(const TRecordStoreTarget& target, bool hasPostgresClient);

// Makes the back ends linked into the program known to SOCI by name (the SQLite one on Windows, where no
// back-end library is loaded at run time); a no-op elsewhere. Sessions opened outside the store need it.
void RegisterLinkedBackends();

// SOCI's connect text for a SQLite file, with the busy time-out of the store; raises for a path SOCI
// cannot take.
std::string SqliteConnectString(const std::string& path, bool readOnly);

// A session of the store: SQLite in WAL mode with a sync at every commit; a server session that reads
// times back as ISO text and exchanges UTF-8. Raises when the connection fails.
std::unique_ptr<soci::session> OpenRecordStoreSession(const std::string& backend,
                                                      const std::string& connectString);

// "%g" seconds of a wait, for messages.
std::string SecondsText(std::chrono::milliseconds wait);

// Server connection attempts: one at a time, and none during the back-off after a failed one, so that a
// server that does not answer costs a request at most one connect time-out.
class TConnectGate {
public:
    void SetBackoff(std::chrono::milliseconds backoff);
    std::chrono::milliseconds Backoff() const;
    // Runs connect unless an attempt is under way (then waits for it) or the back-off runs (then raises at
    // once). Null when the attempt waited for succeeded (for someone else): look again.
    std::unique_ptr<soci::session> Open(const std::function<std::unique_ptr<soci::session>()>& connect);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_done;
    bool m_connecting = false;
    std::chrono::milliseconds m_backoff{std::chrono::seconds(5)};
    std::chrono::steady_clock::time_point m_nextAttempt{};
    std::string m_lastError;
};
