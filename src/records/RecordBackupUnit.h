#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One file of a backup.
struct TBackupFile {
    std::string Name;     // Client.db, Spool.db or Option.ini
    bool Present = false; // false: the program directory has none, and none was written
    uint64_t Bytes = 0;
    bool Database = false; // a SQLite copy, which passed PRAGMA integrity_check
};

struct TBackupResult {
    std::vector<TBackupFile> Files;
    // Database names a PostgreSQL server: its tables are not in the copy (pg_dump backs them up).
    bool ServerStore = false;
};

// How long a backup waits in all for a database that another program holds busy.
constexpr std::chrono::milliseconds BackupBusyWait{30000};

// Copies the program directory's Client.db, Spool.db and Option.ini, those that are there, into the new
// directory dest, while a host may use them: each database through SQLite's online backup from one read
// snapshot, so the copy is consistent and the host's writes go on meanwhile, then checked with PRAGMA
// integrity_check. The files are written into dest + ".partial" (only its owner may enter it on POSIX), which
// is renamed to dest at the end. Raises std::runtime_error (UTF-8) with the reason: dest or dest.partial
// exists, the directory has no Client.db while Database names none, a file is a link or no regular file, a
// copy failed or its check; then neither dest nor dest.partial is left behind.
// namesServer: whether the settings file (Option.ini, when the directory has one) name a server store.
TBackupResult BackUpProgramDirectory(const std::string& dir, const std::string& dest,
                                     const std::function<bool(const std::string& optionFile)>& namesServer,
                                     std::chrono::milliseconds busyWait = BackupBusyWait);

// Copies one SQLite database as BackUpProgramDirectory does, into a file target that must not exist yet; its
// size. Raises std::runtime_error (UTF-8).
uint64_t BackUpSqliteFile(const std::string& source, const std::string& target,
                          std::chrono::milliseconds busyWait = BackupBusyWait);
