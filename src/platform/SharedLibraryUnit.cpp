#include "platform/SharedLibraryUnit.h"

#include "platform/SysUtilsUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/LibraryPathUnit.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
std::string LastLoaderError() {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message =
        length > 0 ? Utf16ToGbk(std::u16string(text, text + length)) : "error " + std::to_string(code);
    if (text != nullptr)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

// Where the file or folder really is, junctions and links followed; nullopt when the system cannot say.
std::optional<std::u16string> FinalPathName(const std::u16string& path) {
    const std::wstring wide(path.begin(), path.end());
    HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    if (length == 0 || length >= buffer.size())
        return std::nullopt;
    return std::u16string(buffer.begin(), buffer.begin() + length);
}
#endif

} // namespace

#ifdef _WIN32

std::optional<std::string> LibraryLoadPath(const std::string& setting, const std::string& executableDir,
                                           const std::string&) {
    const std::u16string folder = GbkToUtf16(executableDir);
    const std::optional<std::u16string> inside = WindowsLibraryPathInFolder(GbkToUtf16(setting), folder);
    if (!inside)
        return std::nullopt;
    // A junction or link inside the folder may still lead out of it. A file that is not there fails to load
    // with the loader's own message.
    const std::optional<std::u16string> file = FinalPathName(*inside);
    const std::optional<std::u16string> realFolder = FinalPathName(folder);
    if (file && realFolder && !WindowsPathLiesIn(*file, *realFolder))
        return std::nullopt;
    return Utf16ToGbk(*inside);
}

void RestrictLibrarySearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    SetDllDirectoryW(L"");
}

#else

std::optional<std::string> LibraryLoadPath(const std::string& setting, const std::string& executableDir,
                                           const std::string& dataDir) {
    namespace fs = std::filesystem;
    // A bare name is looked up by the loader in the system's library folders only.
    const std::string name = FileNameOfText(setting);
    if (name.find('/') == std::string::npos || dataDir.empty())
        return setting;
    std::error_code ec;
    const fs::path data = fs::canonical(FileSystemPath(dataDir), ec);
    if (ec)
        return setting;
    const fs::path self = fs::canonical(FileSystemPath(executableDir), ec);
    if (!ec && self == data)
        return setting;
    // As the loader will open it: from the current directory when relative, through every link.
    const fs::path file = fs::weakly_canonical(fs::absolute(fs::path(name)), ec);
    if (ec)
        return std::nullopt;
    if (std::mismatch(data.begin(), data.end(), file.begin(), file.end()).first == data.end())
        return std::nullopt;
    return setting;
}

void RestrictLibrarySearch() {}

#endif

TSharedLibrary::TSharedLibrary(const std::string& path) : m_path(path) {
#ifdef _WIN32
    // Neither the current directory nor PATH is searched. A library named with its folder is loaded from
    // there by its full path, and finds the DLLs it needs beside itself or in the system's folder.
    std::filesystem::path name = FileSystemPath(path);
    const bool inFolder = name.has_parent_path();
    std::error_code ec;
    if (inFolder && !name.is_absolute())
        name = std::filesystem::absolute(name, ec);
    m_handle = reinterpret_cast<void*>(
        LoadLibraryExW(name.c_str(), nullptr,
                       inFolder ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                                : LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (m_handle == nullptr)
        throw Exception(path + ": " + LastLoaderError());
#else
    // Bind every symbol now, so that a library missing one of its own imports fails here and not in the
    // middle of a card write.
    // The path is code page text, as on Windows; the file system names files in UTF-8.
    m_handle = dlopen(FileNameOfText(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        // The loader's message names the file by its UTF-8 name; messages are code page text.
        const char* error = dlerror();
        throw Exception(error != nullptr ? Utf8ToGbk(error) : "cannot load " + path);
    }
#endif
}

TSharedLibrary::~TSharedLibrary() {
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
}

void* TSharedLibrary::Symbol(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(m_handle), name));
#else
    return dlsym(m_handle, name);
#endif
}
