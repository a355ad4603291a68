#include "server/LogFileUnit.h"

#include <cstdio>
#include <filesystem>

TLogFile* LogFile = nullptr;

TLogFile::TLogFile(std::string fileName, std::function<TDateTime()> clock)
    : m_fileName(std::move(fileName)), m_clock(std::move(clock)) {}

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
    std::FILE* file = std::fopen(m_fileName.c_str(), "ab");
    if (file == nullptr)
        return;
    const std::string prefix = FormatDateTime("yyyy-mm-dd hh:nn:ss ", m_clock());
    std::fwrite(prefix.data(), 1, prefix.size(), file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

std::string LogFileNameFor(const std::string& directory) {
    return (std::filesystem::path(directory) / (FormatDateTime("yyyymmdd", Now()) + ".LOG")).string();
}

void WriteLog(std::string_view message) {
    if (LogFile != nullptr)
        LogFile->WriteLog(message);
}
