#include "records/RecordBackupUnit.h"

#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "records/RecordStoreTargetUnit.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Pages copied per step: a megabyte at the usual page size.
constexpr int StepPages = 256;
constexpr std::chrono::milliseconds BusyPause{50};
constexpr size_t MaxOptionFileBytes = 16 * 1024 * 1024;

struct TSqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using TSqliteHandle = std::unique_ptr<sqlite3, TSqliteCloser>;

std::string Shown(const std::string& fileName) {
    return FileNameToUtf8(fileName);
}

[[noreturn]] void Fail(const std::string& fileName, const std::string& reason) {
    throw std::runtime_error(Shown(fileName) + ": " + reason);
}

bool Busy(int rc) {
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

// Opened without following a link in the last step of the name.
TSqliteHandle Open(const std::string& fileName, int flags) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(Shown(fileName).c_str(), &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    TSqliteHandle handle(db);
    if (rc != SQLITE_OK)
        Fail(fileName, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    return handle;
}

// Runs a statement to its end, again while the database is busy until the deadline; the rows' first column.
// A failure names the file, after what (the step it belongs to).
std::vector<std::string> Run(sqlite3* db, const std::string& fileName, const char* sql,
                             std::chrono::steady_clock::time_point deadline, const std::string& what = "") {
    for (;;) {
        std::vector<std::string> rows;
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(raw, 0);
                rows.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
        }
        if (rc == SQLITE_DONE)
            return rows;
        if (!Busy(rc) || std::chrono::steady_clock::now() >= deadline)
            Fail(fileName, what + sqlite3_errmsg(db));
        statement.reset();
        std::this_thread::sleep_for(BusyPause);
    }
}

uint64_t SizeOf(const std::string& fileName) {
    std::error_code error;
    const uintmax_t size = fs::file_size(FileSystemPath(fileName), error);
    if (error)
        Fail(fileName, error.message());
    return size;
}

bool Exists(const std::string& fileName) {
    std::error_code error;
    return fs::exists(fs::symlink_status(FileSystemPath(fileName), error));
}

} // namespace

uint64_t BackUpSqliteFile(const std::string& source, const std::string& target,
                          std::chrono::milliseconds busyWait) {
    const auto deadline = std::chrono::steady_clock::now() + busyWait;
    // The database and its journal files as the store takes them: regular files, never links.
    try {
        CheckRecordStoreTarget({"sqlite3", source}, true);
    } catch (const std::exception& e) {
        throw std::runtime_error(Shown(e.what()));
    }
    if (Exists(target))
        Fail(target, "already exists");
    TSqliteHandle from = Open(source, SQLITE_OPEN_READONLY);
    // One read transaction for the whole copy: every step reads the same snapshot, so the host's commits
    // meanwhile neither show in the copy nor start it again (in WAL mode they do not wait for it either).
    Run(from.get(), source, "BEGIN", deadline);
    Run(from.get(), source, "SELECT count(*) FROM sqlite_master", deadline);
    {
        TSqliteHandle to = Open(target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        sqlite3_backup* backup = sqlite3_backup_init(to.get(), "main", from.get(), "main");
        if (backup == nullptr)
            Fail(target, sqlite3_errmsg(to.get()));
        int rc;
        while ((rc = sqlite3_backup_step(backup, StepPages)) != SQLITE_DONE) {
            if (rc == SQLITE_OK)
                continue;
            if (!Busy(rc) || std::chrono::steady_clock::now() >= deadline) {
                sqlite3_backup_finish(backup);
                Fail(source, Busy(rc)
                                 ? "busy for longer than " + std::to_string(busyWait.count() / 1000) + " s"
                                 : std::string(sqlite3_errstr(rc)));
            }
            std::this_thread::sleep_for(BusyPause);
        }
        if (sqlite3_backup_finish(backup) != SQLITE_OK)
            Fail(target, sqlite3_errmsg(to.get()));
        const std::vector<std::string> check =
            Run(to.get(), target, "PRAGMA integrity_check", deadline, "integrity_check: ");
        if (check.size() != 1 || check[0] != "ok")
            Fail(target, "integrity_check: " + (check.empty() ? std::string("no answer") : check[0]));
        // Closed here, the copy's last connection, which leaves no journal file beside it.
        sqlite3* handle = to.release();
        if (sqlite3_close(handle) != SQLITE_OK) {
            const std::string reason = sqlite3_errmsg(handle);
            sqlite3_close_v2(handle);
            Fail(target, reason);
        }
    }
    Run(from.get(), source, "COMMIT", deadline);
    return SizeOf(target);
}

TBackupResult BackUpProgramDirectory(const std::string& dir, const std::string& dest,
                                     const std::function<bool(const std::string& optionFile)>& namesServer,
                                     std::chrono::milliseconds busyWait) {
    const std::string partial = dest + ".partial";
    if (Exists(dest))
        Fail(dest, "already exists; name a new folder");
    if (Exists(partial))
        Fail(partial, "already exists (left by a backup that did not finish?); remove it first");
    std::error_code error;
    if (!fs::is_directory(FileSystemPath(dir), error))
        Fail(dir, "is not a folder");

    const std::string optionFile = JoinFileName(dir, "Option.ini");
    std::string optionBytes;
    const bool hasOptions = Exists(optionFile);
    if (hasOptions)
        optionBytes = ReadRegularFile(optionFile, MaxOptionFileBytes);
    TBackupResult result;
    result.ServerStore = hasOptions && namesServer(optionFile);
    const std::string client = JoinFileName(dir, "Client.db");
    const std::string spool = JoinFileName(dir, "Spool.db");
    if (!result.ServerStore && !Exists(client))
        Fail(dir, "has no Client.db (is it the program directory?)");

    if (const std::string reason = CreatePrivateDirectory(partial); !reason.empty())
        Fail(partial, reason);
    try {
        for (const auto& [name, source] : {std::pair{"Client.db", client}, std::pair{"Spool.db", spool}}) {
            TBackupFile file{name};
            file.Database = true;
            if (Exists(source)) {
                file.Present = true;
                file.Bytes = BackUpSqliteFile(source, JoinFileName(partial, name), busyWait);
            }
            result.Files.push_back(file);
        }
        TBackupFile options{"Option.ini"};
        if (hasOptions) {
            const std::string target = JoinFileName(partial, "Option.ini");
            if (const std::string reason = WriteNewFile(target, optionBytes); !reason.empty())
                Fail(target, reason);
            options.Present = true;
            options.Bytes = optionBytes.size();
        }
        result.Files.push_back(options);
        if (const std::string reason = MoveToNewName(partial, dest); !reason.empty())
            Fail(dest, reason);
    } catch (...) {
        fs::remove_all(FileSystemPath(partial), error);
        throw;
    }
    return result;
}
