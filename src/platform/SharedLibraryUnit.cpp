#include "platform/SharedLibraryUnit.h"

#include "platform/SysUtilsUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"

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
#endif

} // namespace

TSharedLibrary::TSharedLibrary(const std::string& path) : m_path(path) {
#ifdef _WIN32
    // A library named by its full path finds the DLLs it needs beside itself first.
    const std::filesystem::path name = FileSystemPath(path);
    m_handle = reinterpret_cast<void*>(
        LoadLibraryExW(name.c_str(), nullptr, name.is_absolute() ? LOAD_WITH_ALTERED_SEARCH_PATH : 0));
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
