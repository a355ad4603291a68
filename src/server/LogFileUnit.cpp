#include "server/LogFileUnit.h"

#include "platform/DateTimeUnit.h"

#include <cstdio>
#include <filesystem>

TLogFile* LogFile = nullptr;

TLogFile::TLogFile(std::string fileName) : m_fileName(std::move(fileName)) {}

void TLogFile::WriteLog(std::string_view message) {
    std::string line = FormatDateTime("yyyy-mm-dd hh:nn:ss ", Now());
    line.append(message);
    line.append("\r\n");
    // One lock per line: concurrent lines wait for each other instead of one of them being dropped.
    std::lock_guard<std::mutex> guard(m_lock);
    std::FILE* file = std::fopen(m_fileName.c_str(), "ab");
    if (file == nullptr)
        return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

std::string LogFileNameFor(const std::string& directory) {
    return (std::filesystem::path(directory) / (FormatDateTime("yyyymmdd", Now()) + ".LOG")).string();
}

void WriteLog(std::string_view message) {
    if (LogFile != nullptr)
        LogFile->WriteLog(message);
}
