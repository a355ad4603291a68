#include "server/LogFileUnit.h"

#include "platform/FileNameUnit.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

TLogFile* LogFile = nullptr;

TLogFile::TLogFile(std::string fileName, std::function<TDateTime()> clock)
    : m_fileName(std::move(fileName)), m_clock(std::move(clock)) {}

TLogFile::~TLogFile() {
#ifndef _WIN32
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

unsigned long long TLogFile::Queue(std::string_view message) {
    std::string text;
    text.reserve(message.size() + 2);
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\r' || c == '\n') {
            text.append("\r\n");
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
                ++i;
        } else {
            text.push_back(c);
        }
    }
    text.append("\r\n");
    std::lock_guard queue(m_queueLock);
    m_queued.push_back(std::move(text));
    return ++m_queuedCount;
}

void TLogFile::Wait(unsigned long long mine) {
    // Concurrent lines wait for each other instead of one of them being dropped. Whoever finds nobody writing
    // writes what has queued up meanwhile; the others wait until their lines are written.
    std::unique_lock queue(m_queueLock);
    for (;;) {
        const unsigned long long written = m_writtenCount;
        if (written >= mine)
            return;
        if (m_writing) {
#ifdef __linux__
            // In the kernel, without coming back through the queue's lock when woken.
            queue.unlock();
            m_writtenCount.wait(written);
            queue.lock();
#else
            // Without a futex, GCC 12's atomic wait reads the value outside the lock its notify goes through,
            // and loses wake-ups.
            m_written.wait(queue);
#endif
            continue;
        }
        m_writing = true;
        std::vector<std::string> texts;
        texts.swap(m_queued);
        const unsigned long long last = m_queuedCount;
        queue.unlock();
        // Whatever happens to these lines, the next ones are written by someone.
        struct TDone {
            TLogFile& log;
            std::unique_lock<std::mutex>& queue;
            unsigned long long last;
            ~TDone() {
                queue.lock();
                log.m_writtenCount = last;
                log.m_writing = false;
#ifdef __linux__
                log.m_writtenCount.notify_all();
#else
                log.m_written.notify_all();
#endif
            }
        } done{*this, queue, last};
        std::lock_guard<std::timed_mutex> guard(m_lock);
        WriteLines(texts);
    }
}

void TLogFile::WriteLines(const std::vector<std::string>& texts) {
    if (!Open())
        return;
    std::string lines;
    for (const std::string& text : texts) {
        // Each time is read as its line is written, so the lines of the file stay in time order.
        lines.append(FormatDateTime("yyyy-mm-dd hh:nn:ss ", m_clock()));
        lines.append(text);
    }
    Append(lines);
}

void TLogFile::WaitWhileWriting() {
    std::lock_guard<std::timed_mutex> guard(m_lock);
}

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

#ifdef _WIN32

// An open file there could be neither removed nor renamed: open and close it for every write.
bool TLogFile::Open() {
    m_file = FileOpen(m_fileName, "ab");
    return m_file != nullptr;
}

void TLogFile::Append(const std::string& lines) {
    std::fwrite(lines.data(), 1, lines.size(), m_file);
    std::fclose(m_file);
    m_file = nullptr;
}

#else

namespace {

// name null: the open file fd.
bool Look(int fd, const char* name, TFileLook& look) {
#ifdef __linux__
    struct statx found {};
    if (::statx(fd, name != nullptr ? name : "", name != nullptr ? 0 : AT_EMPTY_PATH, STATX_BASIC_STATS,
                &found) != 0)
        return false;
    constexpr unsigned long long Flags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    look = {makedev(found.stx_dev_major, found.stx_dev_minor),
            found.stx_ino,
            found.stx_mode,
            found.stx_uid,
            found.stx_gid,
            found.stx_attributes & Flags,
            (found.stx_attributes_mask & Flags) == Flags};
#else
    struct stat found {};
    if ((name != nullptr ? ::stat(name, &found) : ::fstat(fd, &found)) != 0)
        return false;
    look = {static_cast<unsigned long long>(found.st_dev),
            static_cast<unsigned long long>(found.st_ino),
            static_cast<unsigned>(found.st_mode),
            static_cast<unsigned>(found.st_uid),
            static_cast<unsigned>(found.st_gid),
            0,
            false};
#endif
    return true;
}

bool SameFile(const TFileLook& a, const TFileLook& b) {
    return a.device == b.device && a.inode == b.inode;
}

// Nothing that decides the right to write has changed (mode bits, owner, group, immutable and append-only
// flags), so the answer of the last check still holds.
bool SameRights(const TFileLook& a, const TFileLook& b) {
    return a.flagsKnown && b.flagsKnown && a.mode == b.mode && a.owner == b.owner && a.group == b.group &&
           a.flags == b.flags;
}

} // namespace

// The file stays open between lines, as long as the name still leads to it and it may still be written:
// each line then behaves as if the file were opened for it (a removed or renamed file is created again, a
// file made read-only loses the line) at the cost of one look-up instead of an open and a close; the right to
// write is asked again only when what decides it has changed.
bool TLogFile::Open() {
    if (m_fd >= 0) {
        TFileLook named;
        const bool keep =
            Look(AT_FDCWD, m_fileName.c_str(), named) && SameFile(named, m_look) &&
            (SameRights(named, m_look) || ::faccessat(AT_FDCWD, m_fileName.c_str(), W_OK, AT_EACCESS) == 0);
        if (keep) {
            m_look = named;
            return true;
        }
        ::close(m_fd);
        m_fd = -1;
    }
    m_fd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (m_fd >= 0 && !Look(m_fd, nullptr, m_look)) {
        ::close(m_fd);
        m_fd = -1;
    }
    return m_fd >= 0;
}

void TLogFile::Append(const std::string& lines) {
    size_t written = 0;
    while (written < lines.size()) {
        const ssize_t n = ::write(m_fd, lines.data() + written, lines.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Lost, as a failed write always lost it; the next line opens the file afresh.
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        written += static_cast<size_t>(n);
    }
}

#endif

std::string LogFileNameFor(const std::string& directory) {
    return JoinFileName(directory, FormatDateTime("yyyymmdd", Now()) + ".LOG");
}

namespace {

// The lines of this thread's outermost TLogLinesAfterScope: the writer and the last line's number.
struct TLinesAfter {
    int depth = 0;
    TLogFile* log = nullptr;
    unsigned long long last = 0;
};
thread_local TLinesAfter LinesAfter;

} // namespace

void WriteLog(std::string_view message) {
    if (LogFile == nullptr)
        return;
    if (LinesAfter.depth == 0) {
        LogFile->WriteLog(message);
        return;
    }
    // A writer replaced meanwhile gets the lines queued so far written first.
    if (LinesAfter.log != nullptr && LinesAfter.log != LogFile)
        LinesAfter.log->Wait(LinesAfter.last);
    LinesAfter.log = LogFile;
    LinesAfter.last = LogFile->Queue(message);
}

TLogLinesAfterScope::TLogLinesAfterScope() {
    ++LinesAfter.depth;
}

TLogLinesAfterScope::~TLogLinesAfterScope() {
    if (--LinesAfter.depth > 0 || LinesAfter.log == nullptr)
        return;
    TLogFile* log = std::exchange(LinesAfter.log, nullptr);
    log->Wait(LinesAfter.last);
}
