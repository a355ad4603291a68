#include "records/PostgresConninfoUnit.h"

#ifdef DOORLOCK_WITH_LIBPQ
#include <libpq-fe.h>
#endif

#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace {

#ifdef DOORLOCK_WITH_LIBPQ
// How long a connection attempt may take, per server address, when the settings name no limit; without one
// a server that does not answer would hold a card issue for minutes. libpq takes no less than 2 s.
constexpr const char* DefaultConnectTimeoutSeconds = "2";
// Each where the settings name none. TCP keepalives: a server that vanished without a word is noticed in
// about a minute instead of the system's two hours. tcp_user_timeout (ms): sent data that the server does not
// acknowledge ends the connection in 1.5 s, where keepalives stay silent and TCP would retry for 15 minutes.
constexpr std::pair<const char*, const char*> DefaultConnectionSettings[] = {
    {"keepalives", "1"},       {"keepalives_idle", "30"},    {"keepalives_interval", "10"},
    {"keepalives_count", "3"}, {"tcp_user_timeout", "1500"},
};

// libpq's rule for a keyword=value value: in single quotes, with backslash and quote escaped.
std::string QuoteConninfoValue(const char* value) {
    std::string quoted = "'";
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '\'')
            quoted += '\\';
        quoted += *c;
    }
    return quoted + "'";
}
#endif

} // namespace

TPostgresConninfo ParsePostgresConninfo(const std::string& conninfo) {
#ifdef DOORLOCK_WITH_LIBPQ
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        std::string message = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        // libpq quotes the part it could not read, which may be a password.
        std::string shown;
        bool quoted = false;
        for (char c : message) {
            if (c == '"') {
                shown += quoted ? "...\"" : "\"";
                quoted = !quoted;
            } else if (!quoted && c != '\n') {
                shown += c;
            }
        }
        throw std::runtime_error("Invalid PostgreSQL connection settings: " + shown);
    }
    TPostgresConninfo result;
    const bool timeoutFromEnvironment = std::getenv("PGCONNECT_TIMEOUT") != nullptr;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        const std::string keyword = option->keyword;
        const char* value = option->val;
        if (value == nullptr && keyword == "connect_timeout" && !timeoutFromEnvironment)
            value = DefaultConnectTimeoutSeconds;
        for (const auto& [name, defaultValue] : DefaultConnectionSettings) {
            if (value == nullptr && keyword == name)
                value = defaultValue;
        }
        if (value == nullptr)
            continue;
        if (keyword == "password" && *value != '\0')
            result.HasPassword = true;
        if (keyword == "options") {
            const std::string serverOptions = value;
            result.NamesStatementTimeout = serverOptions.find("statement_timeout") != std::string::npos;
            result.NamesLockTimeout = serverOptions.find("lock_timeout") != std::string::npos;
        }
        if (!result.KeywordForm.empty())
            result.KeywordForm += ' ';
        result.KeywordForm += keyword + "=" + QuoteConninfoValue(value);
        if (keyword == "host" || keyword == "hostaddr" || keyword == "port" || keyword == "dbname" ||
            keyword == "user")
            result.Description += " " + keyword + "=" + value;
    }
    PQconninfoFree(options);
    result.Description = "PostgreSQL" + result.Description;
    return result;
#else
    (void)conninfo;
    throw std::runtime_error("This build has no PostgreSQL client library");
#endif
}

bool HasPostgresClient() {
#ifdef DOORLOCK_WITH_LIBPQ
    return true;
#else
    return false;
#endif
}
