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
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
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
                                           const std::string&, std::string* refusal) {
    if (refusal != nullptr)
        refusal->clear();
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

std::string CodeFileRefusal(const std::string& fileName, std::string* realPath) {
    if (realPath != nullptr)
        *realPath = fileName;
    return {};
}

void RestrictLibrarySearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    SetDllDirectoryW(L"");
}

#else

namespace {

// What is wrong with one step of the real path, as a folder or as the file itself.
std::string StepRefusal(const std::string& name, bool folder) {
    struct stat found {};
    if (::lstat(name.c_str(), &found) != 0)
        return name + ": " + std::strerror(errno);
    const char* what = folder ? "the folder " : "the file ";
    if (folder ? !S_ISDIR(found.st_mode) : !S_ISREG(found.st_mode))
        return what + name + (folder ? " is not a folder" : " is not a regular file");
    if (found.st_uid != 0 && found.st_uid != ::geteuid())
        return what + name + " is owned by user " + std::to_string(found.st_uid) +
               ", neither root nor this program's user";
    // In a folder with the sticky bit only an entry's owner (and the folder's) may remove or rename it, so an
    // entry of root's or ours there cannot be swapped by whoever else may write the folder; the next step is
    // checked for that owner in turn. This keeps /tmp/<a folder of root's>/ usable and refuses any folder of
    // another user's below it.
    const bool sticky = folder && (found.st_mode & S_ISVTX) != 0;
    if ((found.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)
        return what + name +
               ((found.st_mode & S_IWOTH) != 0 ? " is writable by others" : " is writable by its group");
    return {};
}

} // namespace

std::string CodeFileRefusal(const std::string& fileName, std::string* realPath) {
    char* resolved = ::realpath(fileName.c_str(), nullptr);
    if (resolved == nullptr)
        return fileName + ": " + std::strerror(errno);
    const std::string real = resolved;
    std::free(resolved);
    // Every folder from the root down, then the file.
    for (size_t slash = 0; slash != std::string::npos; slash = real.find('/', slash + 1)) {
        const std::string refusal = StepRefusal(slash == 0 ? "/" : real.substr(0, slash), true);
        if (!refusal.empty())
            return refusal;
    }
    std::string refusal = StepRefusal(real, false);
    if (refusal.empty() && realPath != nullptr)
        *realPath = real;
    return refusal;
}

std::optional<std::string> LibraryLoadPath(const std::string& setting, const std::string& executableDir,
                                           const std::string& dataDir, std::string* refusal) {
    namespace fs = std::filesystem;
    if (refusal != nullptr)
        refusal->clear();
    // A bare name is looked up by the loader in the system's library folders only.
    const std::string name = FileNameOfText(setting);
    if (name.find('/') == std::string::npos)
        return setting;
    std::error_code ec;
    const fs::path data = dataDir.empty() ? fs::path() : fs::canonical(FileSystemPath(dataDir), ec);
    const fs::path self = fs::canonical(FileSystemPath(executableDir), ec);
    if (!data.empty() && !(!ec && self == data)) {
        // As the loader would open it: from the current directory when relative, through every link.
        const fs::path file = fs::weakly_canonical(fs::absolute(fs::path(name)), ec);
        if (ec || std::mismatch(data.begin(), data.end(), file.begin(), file.end()).first == data.end())
            return std::nullopt;
    }
    std::string real;
    std::string why = CodeFileRefusal(name, &real);
    if (why.empty() && FileNameOfText(Utf8ToGbk(real)) != real)
        why = real + ": the name has characters the code page cannot hold";
    if (!why.empty()) {
        if (refusal != nullptr)
            *refusal = Utf8ToGbk(why);
        return std::nullopt;
    }
    return Utf8ToGbk(real);
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
