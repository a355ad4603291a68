#include "server/LogFileUnit.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
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

void TLogFile::WriteLog(std::string_view message) {
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
    // Concurrent lines wait for each other instead of one of them being dropped. The first to come writes
    // what has queued up meanwhile; the others wait until their lines are written.
    std::unique_lock queue(m_queueLock);
    m_queued.push_back(std::move(text));
    const unsigned long long mine = ++m_queuedCount;
    while (m_writtenCount < mine) {
        if (m_writing) {
            m_queueChanged.wait(queue);
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
                log.m_queueChanged.notify_all();
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

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

#ifdef _WIN32

// An open file there could be neither removed nor renamed: open and close it for every write.
bool TLogFile::Open() {
    m_file = std::fopen(m_fileName.c_str(), "ab");
    return m_file != nullptr;
}

void TLogFile::Append(const std::string& lines) {
    std::fwrite(lines.data(), 1, lines.size(), m_file);
    std::fclose(m_file);
    m_file = nullptr;
}

#else

// The file stays open between lines, as long as the name still leads to it and it may still be written:
// each line then behaves as if the file were opened for it (a removed or renamed file is created again, a
// file made read-only loses the line) at the cost of two look-ups instead of an open and a close.
bool TLogFile::Open() {
    if (m_fd >= 0) {
        struct stat named {};
        if (::stat(m_fileName.c_str(), &named) != 0 || named.st_dev != m_device || named.st_ino != m_inode ||
            ::faccessat(AT_FDCWD, m_fileName.c_str(), W_OK, AT_EACCESS) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    if (m_fd >= 0)
        return true;
    m_fd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    struct stat opened {};
    if (m_fd >= 0 && ::fstat(m_fd, &opened) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0)
        return false;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    return true;
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
    return (std::filesystem::path(directory) / (FormatDateTime("yyyymmdd", Now()) + ".LOG")).string();
}

void WriteLog(std::string_view message) {
    if (LogFile != nullptr)
        LogFile->WriteLog(message);
}
