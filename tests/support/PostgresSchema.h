#pragma once

#include <string>

// A schema of its own on a test server that scripts/with-postgres.sh starts, dropped with everything in it
// when the test ends.
class TPostgresSchema {
public:
    explicit TPostgresSchema(const std::string& serverUri = ServerUri()); // raises without the server
    ~TPostgresSchema();
    TPostgresSchema(const TPostgresSchema&) = delete;
    TPostgresSchema& operator=(const TPostgresSchema&) = delete;

    // False when the tests run without the script's servers; then why.
    static bool Available();
    static const char* Missing();
    // The URI of the server the tests share (DOORLOCK_TEST_PG).
    static std::string ServerUri();
    // The URI of the server that one test stops and starts (DOORLOCK_TEST_PG_RESTART), and its control.
    static std::string RestartServerUri();
    static bool ControlRestartServer(const std::string& command); // "stop" or "start"; true when it worked
    // False where the control program cannot be run (under Wine it is a program of the Linux machine).
    static bool CanControlRestartServer();

    // libpq keyword=value text that connects into the schema.
    const std::string& ConnectText() const { return m_connectText; }
    const std::string& Name() const { return m_name; }
    // A URI with a query that connects into the schema.
    std::string Uri() const;

private:
    std::string m_server;
    std::string m_name;
    std::string m_connectText;
};
