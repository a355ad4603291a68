#pragma once

#include <string>

// A server's settings as libpq reads them (PQconninfoParse), in keyword=value form, and the same without
// the password for the log. Raises with libpq's message (quoted parts left out: they may hold a password).
struct TPostgresConninfo {
    std::string KeywordForm;
    std::string Description;
    // The settings carry a password (password=, or user:password@ in a URI) rather than leaving it to
    // libpq's password file.
    bool HasPassword = false;
    // The server options (options=) name these time-outs themselves.
    bool NamesStatementTimeout = false;
    bool NamesLockTimeout = false;
};
TPostgresConninfo ParsePostgresConninfo(const std::string& conninfo);

// Whether this build carries libpq, the client of a shared PostgreSQL store.
bool HasPostgresClient();
