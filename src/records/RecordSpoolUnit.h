#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace soci {
class session;
}

// The local spool of a server store: rows that could not reach the server wait here, in a SQLite file of the
// program directory (Spool.db), until the server takes them. A row is on disk (synchronous=FULL) when Add
// returns, so it outlives a crash or a power cut; it leaves only when the server has committed it. The file
// may have been changed by anyone who can write to the directory: its rows are read as hostile data.
class TRecordSpool {
public:
    // Rows kept at most; one more is refused (and logged by the caller).
    static constexpr std::size_t MaxRows = 100000;

    explicit TRecordSpool(std::string path);
    ~TRecordSpool();
    TRecordSpool(const TRecordSpool&) = delete;
    TRecordSpool& operator=(const TRecordSpool&) = delete;

    const std::string& Path() const { return m_path; }
    // False (why in LastError) when the file cannot take the row or the spool is full.
    bool Add(const std::string& row);
    // The oldest rows, at most count, with their place in the spool.
    std::vector<std::pair<long long, std::string>> Oldest(std::size_t count);
    // Removes every row up to and including the place id.
    bool RemoveUpTo(long long id);
    // Rows waiting; 0 when the file cannot be read.
    std::size_t Count();
    std::string LastError();

private:
    // Opens the file on first use and after a failure; false when it cannot.
    bool EnsureOpenLocked();
    void FailLocked(const std::exception& error);

    std::string m_path;
    std::mutex m_lock;
    std::unique_ptr<soci::session> m_session;
    std::size_t m_count = 0;
    std::string m_lastError;
};

// A row's fields as one text that any bytes survive, and back; false for a text that is not one.
std::string JoinSpoolFields(const std::vector<std::string>& fields);
bool SplitSpoolFields(const std::string& text, std::vector<std::string>& fields);
