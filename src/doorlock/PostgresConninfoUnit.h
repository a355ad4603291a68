#pragma once

#include <string>

// A server's settings as libpq reads them (PQconninfoParse), in keyword=value form, and the same without
// the password for the log. Raises with libpq's message (quoted parts left out: they may hold a password).
struct TPostgresConninfo {
    std::string KeywordForm;
    std::string Description;
};
TPostgresConninfo ParsePostgresConninfo(const std::string& conninfo);

// Whether this build carries libpq, the client of a shared PostgreSQL store.
bool HasPostgresClient();
