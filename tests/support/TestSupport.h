#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

// Threads that start together: each arrives and waits for the others. Not std::latch, which waits on an
// atomic: without a futex (MinGW) GCC 12's atomic wait loses wake-ups, and a start would hang now and then.
class TStartLine {
public:
    explicit TStartLine(int threads) : m_left(threads) {}
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (--m_left <= 0)
            m_allThere.notify_all();
        else
            m_allThere.wait(lock, [this] { return m_left <= 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_allThere;
    int m_left;
};

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

// Polls the condition until it holds or the timeout passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// True where a read-only file can still be opened for writing: for root, and under Wine (which keeps the
// read-only attribute in the POSIX mode bits, so its check depends on who runs it).
bool ReadOnlyFilesStayWritable();

// Sets an environment variable for this process and the programs it starts; nullptr removes it.
void SetEnvironment(const char* name, const char* value);

// A request or response on the wire: the text followed by its terminating NUL.
std::string Framed(std::string_view text);

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
// The lines of a log's text as written, without their time stamps where they have one.
std::vector<std::string> LogLinesOf(const std::string& text);
// The entries of a log file (UTF-8) without their time stamps; an entry's continuation lines are joined to it
// with CR LF, or dropped (firstLinesOnly).
std::vector<std::string> ReadLogEntries(const std::string& path, bool firstLinesOnly = false);
// The text of the log file (*.LOG) in a program directory (GBK); empty when there is none.
std::string ReadLogFile(const std::string& dir);
// How many of the lines are text, or start with it.
size_t CountLines(const std::vector<std::string>& lines, const std::string& text);
size_t CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& start);

// Puts process-wide references back as they were when the test ends, so that a test can install its own
// options, log, device or store: TRestored<TLogFile*, TBaseMember*> guard{LogFile, CurrentMember}.
template <class... T> class TRestored {
public:
    explicit TRestored(T&... references) : m_references(references...), m_saved(references...) {}
    ~TRestored() { m_references = m_saved; }
    TRestored(const TRestored&) = delete;
    TRestored& operator=(const TRestored&) = delete;

private:
    std::tuple<T&...> m_references;
    std::tuple<T...> m_saved;
};
