#include "platform/FileUnit.h"

#include "platform/FileNameUnit.h"

#include <cstdio>
#include <utility>

#include <windows.h>

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
    if (m_state->File == nullptr)
        m_state->File = FileOpen(m_fileName, "ab");
    return m_state->File != nullptr;
}

bool TAppendFile::Append(std::string_view bytes) {
    std::FILE* file = std::exchange(m_state->File, nullptr);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

long ReadFileStart(const std::string& fileName, uint8_t* data, size_t size) {
    std::FILE* file = FileOpen(fileName, "rb");
    if (file == nullptr)
        return -1;
    const size_t got = std::fread(data, 1, size, file);
    std::fclose(file);
    return static_cast<long>(got);
}
