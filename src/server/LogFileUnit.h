#pragma once

#include "platform/DateTimeUnit.h"
#include "platform/FileUnit.h"
#include "platform/WaitableCountUnit.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The log writer: one line "yyyy-mm-dd hh:nn:ss " + message + CR LF per call, appended to the start day's
// file as if it were opened and closed for every line. Input/output errors lose the line silently. Concurrent
// lines wait for each other instead of being dropped, and their times are read in the order they are written.
// A line break inside a message (LF, CR or CR LF) becomes CR LF, so every line of the file ends the same way.
// A continuation line never passes for one of the writer's own, and nothing of a message can act on the
// terminal of whoever reads the file (LogLinesText).
class TLogFile {
public:
    // clock: the time of the prefix, of the daily files' names and of the text budgets (tests pass their
    // own).
    explicit TLogFile(std::string fileName, std::function<TDateTime()> clock = Now);
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // The start day's file, as the constructor was given it.
    const std::string& FileName() const { return m_fileName; }
    // The file the next line goes to (another day's with daily files).
    std::string CurrentFileName() const;
    // From now on each line goes to the file named for its own day ("yyyymmdd.LOG" in directory), so a run
    // that passes midnight starts that day's file.
    void UseDailyFiles(const std::string& directory);

    // The message bytes are written as given (GBK), but for what LogLinesText shows as \xNN.
    void WriteLog(std::string_view message) { Wait(Queue({message})); }
    // Several lines, each with its own prefix, in one write: no other line falls between them.
    void WriteEntry(std::initializer_list<std::string_view> messages) { Wait(Queue(messages)); }
    // The two halves of WriteLog: Queue gives the lines their places among the others at once, next to each
    // other, and returns the last one's number; Wait returns once that line is written, writing what has
    // queued up when nobody else does.
    unsigned long long Queue(std::initializer_list<std::string_view> messages);
    void Wait(unsigned long long number);
    // For a process that ends without waiting for every thread: once no line is being written (waiting at
    // most `wait`), every later line waits until the process has gone, so none is cut short. False when a
    // line did not end in time.
    bool CloseForExit(std::chrono::milliseconds wait);
    // Returns once no line is being written: a write stuck in the file system holds the caller as well.
    void WaitWhileWriting();

    // What a sender's texts (a peer's requests) may take of the file, so that no sender can fill the disk
    // through it: bytesPerMinute per key (0: no budget), and the free space the file's disk keeps
    // (minFreeBytes, 0: no floor; freeSpace tells it, by default the file system's own figure, asked again
    // once recheck has passed since the last look).
    void SetTextLimits(size_t bytesPerMinute, unsigned long long minFreeBytes,
                       std::function<unsigned long long()> freeSpace = {},
                       std::chrono::milliseconds recheck = std::chrono::seconds(1));
    enum class TTextVerdict {
        Keep,
        OverBudget,      // the sender's budget of this minute is spent; the text is summarised
        OverBudgetFirst, // as OverBudget, and the first of this minute for this key: say why
        LowSpace,        // the disk is below its floor
    };
    // Whether a text of size bytes from key may be written now; a kept text is counted against the key.
    TTextVerdict TakeText(const std::string& key, size_t size);
    // Request texts summarised instead of written: over their sender's budget, or below the disk's floor.
    uint64_t TextsOverBudget() const { return m_textsOverBudget.load(std::memory_order_relaxed); }
    uint64_t TextsLowSpace() const { return m_textsLowSpace.load(std::memory_order_relaxed); }
    // Whether the disk is below its floor, as the last look found it.
    bool LowOnSpace() const;
    // Told what the reader of the file must learn elsewhere too (the host shows it in its information list):
    // the disk going below its floor and coming above it again (the line as written to the file), and the
    // file refused as a link or as something other than a regular file (its lines then lost), once until it
    // can be written again.
    void SetOnNotice(std::function<void(const std::string& line)> onNotice);

private:
    std::atomic<uint64_t> m_textsOverBudget{0};
    std::atomic<uint64_t> m_textsLowSpace{0};
    void WriteLines(const std::vector<std::string>& texts);
    void AppendTo(const std::string& fileName, const std::string& lines);

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
    // Written under m_lock; m_directory non-empty: daily files there. The name is read under m_nameLock too.
    std::unique_ptr<TAppendFile> m_file;
    std::string m_directory;
    std::string m_refusalTold; // the refusal of the file last told, until it can be written again
    mutable std::mutex m_nameLock;

    // The text limits, under m_limitLock.
    struct TSender {
        long long Minute = 0; // of the clock, since 1899-12-30
        size_t Used = 0;
        bool Noted = false;
    };
    mutable std::mutex m_limitLock;
    size_t m_bytesPerMinute = 0;
    unsigned long long m_minFreeBytes = 0;
    std::function<unsigned long long()> m_freeSpace;
    std::chrono::milliseconds m_recheck{0};
    std::chrono::steady_clock::time_point m_spaceLookedAt{};
    bool m_spaceLooked = false;
    std::map<std::string, TSender> m_senders;
    bool m_lowSpace = false;
    std::function<void(const std::string&)> m_onNotice;
};

// A message as the file gets it after its prefix, line ends included.
// - Control bytes other than TAB, CR and LF, DEL, and bytes that do not make a character of code page 936 (a
//   lone lead byte, a lead byte before a byte that cannot follow it, 0x80, 0xFF) are written as \xNN, so that
//   nothing of a message acts on a terminal and every file reads whole with a GB18030 decoder (code page
//   936's user-defined areas stay as Windows writes them; GB18030 reads them the same way).
// - Continuation lines carry no prefix; one that reads like the prefix's date and time, even past leading
//   blanks and control characters, starts with a TAB, so that a request cannot forge a line of its own. A
//   vertical tab or a form feed counts as a line start for that rule too.
std::string LogLinesText(std::string_view message);

// The process-wide writer; null before start-up and after shut-down.
extern TLogFile* LogFile;

// "yyyymmdd.LOG" for the local date now, in the given directory.
std::string LogFileNameFor(const std::string& directory);
// "yyyymmdd.LOG" for that day, in the given directory.
std::string LogFileNameFor(const std::string& directory, TDateTime day);

// Deletes the files "yyyymmdd.LOG" of directory whose date lies more than keepDays before today's date;
// returns their names, oldest first. Nothing else in the directory is touched (other names, links, folders).
std::vector<std::string> DeleteOldLogFiles(const std::string& directory, int keepDays, TDateTime today);
// The line naming the deleted files (GBK).
std::string DeletedLogFilesLine(int keepDays, const std::vector<std::string>& names);

// Writes to LogFile when there is one.
void WriteLog(std::string_view message);
// Writes the lines to LogFile in one go when there is one.
void WriteLogEntry(std::initializer_list<std::string_view> messages);

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
