#include "platform/FileUnit.h"

#include "platform/FileNameUnit.h"
#include "platform/SysUtilsUnit.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <utility>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

namespace {

// The system's error, in English for the log whatever the language of the system.
std::string ErrorText(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
        return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return "is in use by another program";
    default:
        return "Windows error " + std::to_string(error);
    }
}

// Opens the name as a regular file: a reparse point (symbolic link, junction) is opened as itself and refused
// rather than followed, and so are a directory and anything that is no disk file (a pipe, a device such as
// CON). INVALID_HANDLE_VALUE with the reason when refused.
HANDLE OpenRegular(const std::string& fileName, DWORD access, DWORD disposition, std::string& refusal) {
    HANDLE file = CreateFileW(
        FileSystemPath(fileName).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        refusal = ErrorText(GetLastError());
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        refusal = "is not a regular file (a device or pipe)";
    else if (GetFileInformationByHandle(file, &info) == 0)
        refusal = ErrorText(GetLastError());
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        refusal = "is a symbolic link";
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        refusal = "is not a regular file (a directory)";
    else
        refusal.clear();
    if (!refusal.empty()) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// A name beside the target that no other writer in this process or another one picks.
std::string TempNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const long pid = _getpid();
    return target + ".tmp" + std::to_string(pid) + "." + std::to_string(counter.fetch_add(1));
}

} // namespace

std::string RegularFileRefusal(const std::string& fileName) {
    // Nothing there yet: it may be created, or its folder is missing too, which the open then reports as
    // POSIX does. (A link is found as itself, dangling or not.)
    if (GetFileAttributesW(FileSystemPath(fileName).c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {};
    }
    std::string refusal;
    HANDLE file = OpenRegular(fileName, 0, OPEN_EXISTING, refusal);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return refusal;
}

std::string ReadRegularFile(const std::string& fileName, size_t maxSize) {
    std::string refusal;
    HANDLE file = OpenRegular(fileName, GENERIC_READ, OPEN_EXISTING, refusal);
    if (file == INVALID_HANDLE_VALUE)
        throw Exception(fileName + ": " + refusal);
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (ReadFile(file, buffer, sizeof buffer, &got, nullptr) == 0) {
            const DWORD error = GetLastError();
            CloseHandle(file);
            throw Exception(fileName + ": " + ErrorText(error));
        }
        if (got == 0)
            break;
        if (got > maxSize - content.size()) {
            CloseHandle(file);
            throw Exception(fileName + ": is larger than " + std::to_string(maxSize) + " bytes");
        }
        content.append(buffer, got);
    }
    CloseHandle(file);
    return content;
}

std::optional<TFileIdentity> FileIdentityOf(const std::string& fileName) {
    // No access asked for, so no sharing mode of whoever has the file open stands in the way.
    HANDLE file = CreateFileW(FileSystemPath(fileName).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known)
        return std::nullopt;
    return TFileIdentity{info.dwVolumeSerialNumber,
                         static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

bool WriteRegularFileAt(const std::string& fileName, uint64_t offset, const void* data, size_t size) {
    std::string refusal;
    HANDLE file = OpenRegular(fileName, GENERIC_WRITE, OPEN_EXISTING, refusal);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    const bool ok = size <= MAXDWORD && WriteFile(file, data, static_cast<DWORD>(size), &written, &at) != 0 &&
                    written == size;
    return CloseHandle(file) != 0 && ok;
}

std::string CreatePrivateDirectory(const std::string& name) {
    if (CreateDirectoryW(FileSystemPath(name).c_str(), nullptr) == 0)
        return GetLastError() == ERROR_ALREADY_EXISTS ? "File exists" : ErrorText(GetLastError());
    return {};
}

std::string WriteNewFile(const std::string& fileName, std::string_view bytes) {
    HANDLE file = CreateFileW(FileSystemPath(fileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? "File exists" : ErrorText(GetLastError());
    DWORD written = 0;
    const bool ok = bytes.size() <= MAXDWORD &&
                    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
                    written == bytes.size() && FlushFileBuffers(file) != 0;
    const std::string reason = ok ? std::string() : ErrorText(GetLastError());
    CloseHandle(file);
    return reason;
}

std::string MoveToNewName(const std::string& source, const std::string& target) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
    if (MoveFileExW(FileSystemPath(source).c_str(), FileSystemPath(target).c_str(), 0) == 0)
        return GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS
                   ? "File exists"
                   : ErrorText(GetLastError());
    return {};
}

bool ReplaceWholeFile(const std::string& target, std::string_view data) {
    std::error_code ec;
    if (!RegularFileRefusal(target).empty())
        return false;
    const DWORD attributes = GetFileAttributesW(FileSystemPath(target).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // A read-only file stays read-only: the move alone would get past it, and so would an
        // administrator's (or, under Wine, root's) open for writing.
        if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
            return false;
        std::FILE* probe = FileOpen(target, "r+b");
        if (probe == nullptr)
            return false;
        std::fclose(probe);
    }
    std::string temp;
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
        temp = TempNameFor(target);
        file = FileOpen(temp, "wbx");
    }
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size() && std::fflush(file) == 0 &&
              _commit(_fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && MoveFileOver(temp, target);
    if (!ok)
        std::filesystem::remove(FileSystemPath(temp), ec);
    return ok;
}

struct TAppendFile::TState {
    std::FILE* File = nullptr; // from Open to the end of the next Append
};

TAppendFile::TAppendFile(std::string fileName)
    : m_fileName(std::move(fileName)), m_state(std::make_unique<TState>()) {}

TAppendFile::~TAppendFile() {
    if (m_state->File != nullptr)
        std::fclose(m_state->File);
}

bool TAppendFile::Open() {
    m_lastRefusal.clear();
    if (m_state->File != nullptr)
        return true;
    // Appending only: every write lands at the end, as with fopen's "ab".
    HANDLE file = OpenRegular(m_fileName, FILE_APPEND_DATA, OPEN_ALWAYS, m_lastRefusal);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY | _O_WRONLY);
    if (fd == -1) {
        CloseHandle(file);
        m_lastRefusal = "cannot be opened";
        return false;
    }
    m_state->File = _fdopen(fd, "ab");
    if (m_state->File == nullptr) {
        _close(fd);
        m_lastRefusal = "cannot be opened";
    }
    return m_state->File != nullptr;
}

bool TAppendFile::Append(std::string_view bytes) {
    std::FILE* file = std::exchange(m_state->File, nullptr);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}
