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
    // One lock per line: concurrent lines wait for each other instead of one of them being dropped. The
    // time is read under it, so the lines of the file stay in time order.
    std::lock_guard<std::timed_mutex> guard(m_lock);
    if (!Open())
        return;
    std::string line = FormatDateTime("yyyy-mm-dd hh:nn:ss ", m_clock());
    line.append(text);
    Append(line);
}

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

#ifdef _WIN32

// An open file there could be neither removed nor renamed: open and close it for every line.
bool TLogFile::Open() {
    m_file = std::fopen(m_fileName.c_str(), "ab");
    return m_file != nullptr;
}

void TLogFile::Append(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), m_file);
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

void TLogFile::Append(const std::string& line) {
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(m_fd, line.data() + written, line.size() - written);
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
