#include "host/LogFileUnit.h"

#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"

#include <cstdio>

TLogFile::TLogFile(std::string fileName) : m_fileName(std::move(fileName)) {}

void TLogFile::WriteLog(std::string_view message) {
    std::string line = FormatDateTime("yyyy-mm-dd hh:nn:ss ", Now());
    line.append(message);
    line.append("\r\n");
    // One lock per line: concurrent lines wait for each other instead of one of them being dropped.
    std::lock_guard<std::mutex> guard(m_lock);
    std::FILE* file = FileOpen(m_fileName, "ab");
    if (file == nullptr)
        return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

std::string LogFileNameFor(const std::string& directory) {
    return JoinFileName(directory, FormatDateTime("yyyymmdd", Now()) + ".LOG");
}

void WriteLog(std::string_view message) {
    if (LogFile != nullptr)
        LogFile->WriteLog(message);
}
