#pragma once

#include <string>

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

// Raises for a SQLite database file, or one of the files SQLite keeps beside it, that is a link or no
// regular file, naming it; files not there yet pass.
void CheckSqliteFiles(const std::string& path);
