#include "records/RecordStoreTargetUnit.h"

#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"

#include <stdexcept>

TRecordStoreTarget RecordStoreTarget(const std::string& database, const std::string& programDir) {
    if (database.empty())
        return {"sqlite3", JoinFileName(programDir, "Client.db"), ""};
    return {"postgresql", database, JoinFileName(programDir, "Spool.db")};
}

bool IsSqlite(const std::string& backend) {
    return backend == "sqlite3";
}

void CheckRecordStoreTarget(const TRecordStoreTarget& target, bool hasPostgresClient) {
    if (!IsSqlite(target.Backend) && !hasPostgresClient)
        throw std::runtime_error(
            "This build has no PostgreSQL client library: it cannot use the PostgreSQL server "
            "that Database names ([DoorlockOption])");
    if (IsSqlite(target.Backend))
        CheckSqliteFiles(target.ConnectString);
}

// The program directory may be writable by a front-desk account: a link in the database's place would have
// SQLite write the rows into whatever file it names, and a FIFO would hang every open. SQLite opens the file
// and, beside it, its write-ahead log, shared-memory index and rollback journal; each must be a regular file
// or not there yet. (SOCI 4.0 passes no open flags through, so SQLite's own no-follow flag cannot be asked
// for; this look comes right before every open instead.)
void CheckSqliteFiles(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string name = path + suffix;
        const std::string refusal = RegularFileRefusal(name);
        if (!refusal.empty())
            throw std::runtime_error(name + ": " + refusal);
    }
}
