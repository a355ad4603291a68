#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace soci {
class session;
}

// What [DoorlockOption] Database selects: empty gives Client.db in the program directory (SQLite); any other
// text names a PostgreSQL server, as a postgresql:// URI or libpq keyword=value text.
struct TRecordStoreTarget {
    std::string Backend;       // "sqlite3" or "postgresql"
    std::string ConnectString; // SQLite: the file path; PostgreSQL: the option's text
    std::string SpoolPath =
        {}; // PostgreSQL: Spool.db in the program directory, for rows the server did not take
};
TRecordStoreTarget RecordStoreTarget(const std::string& database, const std::string& programDir);

bool IsSqlite(const std::string& backend);

// Raises when a build without a PostgreSQL client is given a server: every row would be lost while the
// host answers as if it had stored them, so such a setting stops the start instead. Raises as well for a
// SQLite file (or its journal files) that is a link or no regular file, naming it.
void CheckRecordStoreTarget(const TRecordStoreTarget& target, bool hasPostgresClient);

// Makes the back ends linked into the program known to SOCI by name (the SQLite one on Windows, where no
// back-end library is loaded at run time); a no-op elsewhere. Sessions opened outside the store need it.
void RegisterLinkedBackends();

// SOCI's connect text for a SQLite file, with the busy time-out of the store; raises for a path SOCI
// cannot take.
std::string SqliteConnectString(const std::string& path, bool readOnly);

// The answer budget of a card issue on a server store: every IssueCard is answered within 8 s whatever the
// server does. Its parts, each bounded:
// - the room's lock on the server and the room's turn on this host: StoreRoomLockWait for both;
// - each store operation (look-up, update, room insert, issued-card row): waits StoreOperationWait at most
//   for the session of the store, then runs one statement of StoreStatementTimeout at most (a lock wait
//   inside it StoreLockTimeout at most); an update that inserts the missing room runs two;
// - a server that stops acknowledging ends the connection after tcp_user_timeout (1.5 s), and a connection
//   attempt takes connect_timeout (2 s) per address; after a failed attempt the others fail at once.
// A copy: 3 (locks) + 3 x (0.5 + 1) = 7.5 s at the most while the server is blocked (a new card the same:
// the update and its insert, then the row); an issued-card row that did not make it in time is kept.
constexpr std::chrono::milliseconds StoreRoomLockWait{3000};
constexpr std::chrono::milliseconds StoreOperationWait{500};
constexpr std::chrono::milliseconds StoreStatementTimeout{1000};
constexpr std::chrono::milliseconds StoreLockTimeout{800};

// A session of the store: SQLite in WAL mode with a sync at every commit; a server session that reads
// times back as ISO text, exchanges UTF-8 and ends a statement or a lock wait that takes longer than the
// budget above (unless the settings name their own). Raises when the connection fails.
std::unique_ptr<soci::session> OpenRecordStoreSession(const std::string& backend,
                                                      const std::string& connectString);

// What a failed statement of the store says about the server, by the error's SQLSTATE.
enum class TStoreErrorKind {
    Refused,   // the statement or its values: trying again gives the same
    Transient, // time-out, lock wait, lost connection, server shutting down: trying later may work
    ReadOnly,  // the server no longer takes writes (a standby now): another connection may find the primary
};
TStoreErrorKind ClassifyStoreError(const std::exception& error);

// Whether the table the session finds by that name has the column (false without the table); names as the
// statements write them.
bool HasColumn(soci::session& session, bool sqlite, const std::string& table, const std::string& column);

// "%g" seconds of a wait, for messages.
std::string SecondsText(std::chrono::milliseconds wait);
