#include "doorlock/RecordStoreSessionUnit.h"

#include "doorlock/PostgresConninfoUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"

#include <soci/soci.h>
#ifdef DOORLOCK_WITH_LIBPQ
#include <soci/postgresql/soci-postgresql.h>
#endif
#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
#include <soci/sqlite3/soci-sqlite3.h>
#endif
#ifdef DOORLOCK_SOCI_STATIC_POSTGRESQL
#include <soci/postgresql/soci-postgresql.h>
#endif

#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace {

// How long a statement waits for the write lock of another program on the same SQLite file.
constexpr int BusyTimeoutSeconds = 10;

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

} // namespace

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

// The back ends this build links in; SOCI would otherwise look for them as library files at run time.
void RegisterLinkedBackends() {
    static const bool registered = [] {
#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
        soci::dynamic_backends::register_backend("sqlite3", *soci::factory_sqlite3());
#endif
#ifdef DOORLOCK_SOCI_STATIC_POSTGRESQL
        soci::dynamic_backends::register_backend("postgresql", *soci::factory_postgresql());
#endif
        return true;
    }();
    (void)registered;
}

std::string SqliteConnectString(const std::string& path, bool readOnly) {
    // SOCI splits its connect string at blanks and takes a double-quoted value whole, with no escape for a
    // quote inside it.
    if (path.find('"') != std::string::npos)
        throw std::runtime_error("The database path contains a double quote: " + path);
    // A value opening with a blank would leave SOCI an empty quoted word.
    // SQLite takes UTF-8 file names.
    const std::string name = FileNameToUtf8(path);
    std::string value = !name.empty() && name.front() == ' ' ? "./" + name : name;
    return "db=\"" + value + "\" timeout=" + std::to_string(BusyTimeoutSeconds) +
           (readOnly ? " readonly=1" : "");
}

std::unique_ptr<soci::session> OpenRecordStoreSession(const std::string& backend,
                                                      const std::string& connectString) {
    RegisterLinkedBackends();
    if (IsSqlite(backend)) {
        CheckSqliteFiles(connectString);
        // The backend is loaded by name at run time (libsoci_<name>.so.4.0 from SOCI's search path, which
        // the environment variable SOCI_BACKENDS_PATH can extend).
        auto session = std::make_unique<soci::session>(backend, SqliteConnectString(connectString, false));
        // A row must be on disk before the response that follows it goes out: WAL keeps that to one
        // sync per commit, and synchronous=FULL makes that sync happen at every commit.
        std::string journalMode;
        *session << "PRAGMA journal_mode=WAL", soci::into(journalMode);
        *session << "PRAGMA synchronous=FULL";
        return session;
    }
    // The backend passes a URI on wrongly; libpq's keyword form reaches the server as written.
    const TPostgresConninfo conninfo = ParsePostgresConninfo(connectString);
    auto session = std::make_unique<soci::session>(backend, conninfo.KeywordForm);
    // The server's notices ("relation ... already exists, skipping") are no errors; libpq would print
    // them on standard error, which a service sends to the journal.
    *session << "SET client_min_messages TO warning";
    // Times are read back as ISO text and text columns hold UTF-8, whatever the server's defaults.
    *session << "SET datestyle TO ISO, YMD";
    *session << "SET client_encoding TO 'UTF8'";
    // A server that is up but blocked (a table locked by another program, a stuck disk) ends the statement
    // instead of holding the card issue; where the settings name their own, those hold.
    if (!conninfo.NamesStatementTimeout)
        *session << "SET statement_timeout = " + std::to_string(StoreStatementTimeout.count());
    if (!conninfo.NamesLockTimeout)
        *session << "SET lock_timeout = " + std::to_string(StoreLockTimeout.count());
    return session;
}

TStoreErrorKind ClassifyStoreError(const std::exception& error) {
#ifdef DOORLOCK_WITH_LIBPQ
    if (const auto* server = dynamic_cast<const soci::postgresql_soci_error*>(&error)) {
        const std::string state = server->sqlstate();
        if (state == "25006")
            return TStoreErrorKind::ReadOnly;
        const std::string_view cls = std::string_view(state).substr(0, 2);
        // Connection (08), rollback for a conflict (40), resources (53), operator intervention: statement
        // time-out, shutdown (57), lock not available (55P03).
        if (cls == "08" || cls == "40" || cls == "53" || cls == "57" || state == "55P03")
            return TStoreErrorKind::Transient;
        return TStoreErrorKind::Refused;
    }
#endif
    if (const auto* soci = dynamic_cast<const soci::soci_error*>(&error);
        soci != nullptr && soci->get_error_category() == soci::soci_error::connection_error)
        return TStoreErrorKind::Transient;
    return TStoreErrorKind::Refused;
}

bool HasColumn(soci::session& session, bool sqlite, const std::string& table, const std::string& column) {
    // Unquoted names are taken without regard to case, as the statements take them.
    std::string tableName = table, columnName = column;
    long long count = 0;
    if (sqlite) {
        session
            << "select count(*) from pragma_table_info(:TableName) where lower(name) = lower(:ColumnName)",
            soci::into(count), soci::use(tableName, "TableName"), soci::use(columnName, "ColumnName");
    } else {
        session << "select count(*) from pg_attribute where attrelid = to_regclass(:TableName) and "
                   "attname = lower(:ColumnName) and attnum > 0 and not attisdropped",
            soci::into(count), soci::use(tableName, "TableName"), soci::use(columnName, "ColumnName");
    }
    return count > 0;
}

std::string SecondsText(std::chrono::milliseconds wait) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000);
    return seconds;
}
