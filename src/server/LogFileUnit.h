#pragma once

#include <mutex>
#include <string>
#include <string_view>

// The log writer: one line "yyyy-mm-dd hh:nn:ss " + message + CR LF per call, appended to the start day's
// file as if it were opened and closed for every line. Input/output errors lose the line silently. Concurrent
// lines wait for each other instead of being dropped.
class TLogFile {
public:
    explicit TLogFile(std::string fileName);
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    const std::string& FileName() const { return m_fileName; }
    // The message bytes are written as given (GBK).
    void WriteLog(std::string_view message);

private:
    void Append(const std::string& line);

    std::string m_fileName;
    std::mutex m_lock;
    // The file the last line went to, kept open (not on Windows).
    int m_fd = -1;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
};

// The process-wide writer; null before start-up and after shut-down.
extern TLogFile* LogFile;

// "yyyymmdd.LOG" for the local date now, in the given directory.
std::string LogFileNameFor(const std::string& directory);

// Writes to LogFile when there is one.
void WriteLog(std::string_view message);
