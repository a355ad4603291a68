#include "support/PostgresSchema.h"

#include "records/PostgresConninfoUnit.h"
#include "records/RecordBackendsUnit.h"

#include <soci/soci.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace {

std::string RequiredEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the tests through scripts/with-postgres.sh");
    return value;
}

} // namespace

bool TPostgresSchema::Available() {
    return std::getenv("DOORLOCK_TEST_PG") != nullptr && std::getenv("DOORLOCK_TEST_PG_RESTART") != nullptr;
}

const char* TPostgresSchema::Missing() {
    return "no PostgreSQL server: run the tests through scripts/with-postgres.sh";
}

bool TPostgresSchema::CanControlRestartServer() {
    return std::getenv("DOORLOCK_TEST_PG_RESTART_CONTROL") != nullptr;
}

std::string TPostgresSchema::ServerUri() {
    return RequiredEnvironment("DOORLOCK_TEST_PG");
}

std::string TPostgresSchema::RestartServerUri() {
    return RequiredEnvironment("DOORLOCK_TEST_PG_RESTART");
}

bool TPostgresSchema::ControlRestartServer(const std::string& command) {
    return std::system((RequiredEnvironment("DOORLOCK_TEST_PG_RESTART_CONTROL") + " " + command).c_str()) ==
           0;
}

TPostgresSchema::TPostgresSchema(const std::string& serverUri) : m_server(serverUri) {
    // Where the back ends are linked in (Windows), the tests' own sessions need them registered as well.
    RegisterLinkedBackends();
    const std::string server = ParsePostgresConninfo(m_server).KeywordForm;
    std::random_device rd;
    // Formatted into a buffer: GCC 12 at -O3 warns falsely (-Wrestrict) on "t" + std::to_string(...).
    char name[32];
    std::snprintf(name, sizeof name, "t%u_%u", rd(), rd());
    m_name = std::string(name);
    soci::session admin("postgresql", server);
    admin << "CREATE SCHEMA " + m_name;
    m_connectText = server + " options='-c search_path=" + m_name + "'";
}

TPostgresSchema::~TPostgresSchema() {
    try {
        soci::session admin("postgresql", ParsePostgresConninfo(m_server).KeywordForm);
        admin << "SET client_min_messages TO WARNING";
        admin << "DROP SCHEMA " + m_name + " CASCADE";
    } catch (const std::exception&) {
        // The server is gone with the test run.
    }
}

std::string TPostgresSchema::Uri() const {
    return m_server + "?options=-csearch_path%3D" + m_name + "&application_name=doorlock";
}
