#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class TBaseDoorlock;
class TDoorlockRecordStore;
class TLogFile;
class TOption;
class TSysOption;
class TBasePolice;
class TBaseMember;
enum class TInterfaceKind : int32_t;

// A fresh temporary directory, removed with everything in it when the test ends.
class TSandbox {
public:
    TSandbox();
    ~TSandbox();
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // A file name of the program (code page text on Windows).
    std::string File(const std::string& name) const;

private:
    std::filesystem::path m_path;
};

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

// Polls the condition until it holds or the timeout passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// True where a read-only file can still be opened for writing: for root, and under Wine (which keeps the
// read-only attribute in the POSIX mode bits, so its check depends on who runs it).
bool ReadOnlyFilesStayWritable();

// Sets an environment variable for this process and the programs it starts; nullptr removes it.
void SetEnvironment(const char* name, const char* value);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// Makes a file or directory read-only until destroyed. Root passes permission bits, so for root the file
// system's immutable attribute does it (Linux); Made() is false where nothing could.
class TReadOnly {
public:
    explicit TReadOnly(std::filesystem::path path);
    ~TReadOnly();
    TReadOnly(const TReadOnly&) = delete;
    TReadOnly& operator=(const TReadOnly&) = delete;

    bool Made() const { return m_made; }

private:
    std::filesystem::path m_path;
    std::filesystem::perms m_perms{};
    bool m_immutable = false;
    bool m_made = false;
};

// One line of a log file: its message without the "yyyy-mm-dd hh:nn:ss " prefix, or a continuation line
// (the rest of a message that held a line break), which has no prefix.
struct TLogLine {
    bool Prefixed;
    std::string Text;
};
std::vector<TLogLine> ParseLog(const std::string& text);
// The entries of a log file (UTF-8) without their time stamps; an entry's continuation lines are joined to it
// with CR LF.
std::vector<std::string> ReadLogEntries(const std::string& path);

// Saves the process-wide references and restores them when the test ends, so that a test can install its
// own options, log, device and store.
class TGlobalsGuard {
public:
    TGlobalsGuard();
    ~TGlobalsGuard();
    TGlobalsGuard(const TGlobalsGuard&) = delete;
    TGlobalsGuard& operator=(const TGlobalsGuard&) = delete;

private:
    TInterfaceKind m_interfaceKind;
    TSysOption* m_sysOption;
    TOption* m_option;
    TLogFile* m_logFile;
    TBaseDoorlock* m_doorlock;
    TDoorlockRecordStore* m_store;
    TBasePolice* m_police;
    TBaseMember* m_member;
};
