#include "records/RecordStoreSessionUnit.h"

#include "platform/FileNameUnit.h"
#include "records/PostgresConninfoUnit.h"
#include "records/RecordBackendsUnit.h"
#include "records/RecordStoreBudgetUnit.h"
#include "records/RecordStoreTargetUnit.h"

#include <soci/soci.h>

#include <stdexcept>

namespace {

// How long a statement waits for the write lock of another program on the same SQLite file.
constexpr int BusyTimeoutSeconds = 10;

} // namespace

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
