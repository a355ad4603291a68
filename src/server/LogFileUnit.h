#pragma once

#include "platform/DateTimeUnit.h"
#include "platform/FileUnit.h"
#include "platform/WaitableCountUnit.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The log writer: one line "yyyy-mm-dd hh:nn:ss " + message + CR LF per call, appended to the start day's
// file as if it were opened and closed for every line. Input/output errors lose the line silently. Concurrent
// lines wait for each other instead of being dropped, and their times are read in the order they are written.
// A line break inside a message (LF, CR or CR LF) becomes CR LF, so every line of the file ends the same way.
// A continuation line never passes for one of the writer's own (LogLinesText).
class TLogFile {
public:
    // clock: the time of the prefix (tests pass their own).
    explicit TLogFile(std::string fileName, std::function<TDateTime()> clock = Now);
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    const std::string& FileName() const { return m_fileName; }
    // The message bytes are written as given (GBK).
    void WriteLog(std::string_view message) { Wait(Queue(message)); }
    // The two halves of WriteLog: Queue gives the line its place among the others at once and returns its
    // number; Wait returns once that line is written, writing what has queued up when nobody else does.
    unsigned long long Queue(std::string_view message);
    void Wait(unsigned long long number);
    // For a process that ends without waiting for every thread: once no line is being written (waiting at
    // most `wait`), every later line waits until the process has gone, so none is cut short. False when a
    // line did not end in time.
    bool CloseForExit(std::chrono::milliseconds wait);
    // Returns once no line is being written: a write stuck in the file system holds the caller as well.
    void WaitWhileWriting();

private:
    void WriteLines(const std::vector<std::string>& texts);

    std::string m_fileName;
    std::function<TDateTime()> m_clock;
    // Held by whoever writes lines to the file (and for good once closed for the exit).
    std::timed_mutex m_lock;
    // Lines that arrive while others are written wait here and go together in the next write, with one look
    // at the name for all of them: each still goes to what the name leads to between its call and its return.
    std::mutex m_queueLock;
    std::vector<std::string> m_queued; // texts with their line ends, in the order of the calls
    unsigned long long m_queuedCount = 0;
    // Changed under the queue's lock.
    TWaitableCount m_writtenCount;
    bool m_writing = false;
    TAppendFile m_file; // written under m_lock
};

// A message as the file gets it after its prefix, line ends included. Continuation lines carry no prefix;
// one that reads like the prefix's date and time, even past leading blanks and control characters, starts
// with a TAB, so that a request cannot forge a line of its own. A vertical tab or a form feed counts as a
// line start for that rule too.
std::string LogLinesText(std::string_view message);

// The process-wide writer; null before start-up and after shut-down.
extern TLogFile* LogFile;

// "yyyymmdd.LOG" for the local date now, in the given directory.
std::string LogFileNameFor(const std::string& directory);

// Writes to LogFile when there is one.
void WriteLog(std::string_view message);

// While one lives on a thread, that thread's WriteLog lines take their places in the log at once but are
// waited for only when it ends. Declared before a lock, it keeps the file's write out of that lock while the
// lines keep the order the lock gives them.
class TLogLinesAfterScope {
public:
    TLogLinesAfterScope();
    ~TLogLinesAfterScope();
    TLogLinesAfterScope(const TLogLinesAfterScope&) = delete;
    TLogLinesAfterScope& operator=(const TLogLinesAfterScope&) = delete;
};
