#include "platform/FileNameUnit.h"

#include "platform/CodePageUnit.h"

#include <cstdint>
#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#else
#include <cstdio>
#endif

namespace fs = std::filesystem;

std::string FileNameOfUtf8(std::string_view utf8) {
    return FileNameOf(fs::path(std::u8string(utf8.begin(), utf8.end())));
}

std::string JoinFileName(std::string_view dir, std::string_view name) {
    return FileNameOf(FileSystemPath(dir) / FileSystemPath(name));
}

#ifdef _WIN32

namespace {

std::wstring Wide(std::string_view name) {
    const std::u16string utf16 = GbkToUtf16(name);
    return std::wstring(utf16.begin(), utf16.end());
}

} // namespace

fs::path FileSystemPath(std::string_view name) {
    return fs::path(Wide(name));
}

std::string FileNameOf(const fs::path& path) {
    const std::wstring& wide = path.native();
    return Utf16ToGbk(std::u16string(wide.begin(), wide.end()));
}

std::string FileNameOfText(std::string_view text) {
    return std::string(text);
}

std::string FileNameToUtf8(std::string_view name) {
    return GbkToUtf8(name);
}

std::FILE* FileOpen(std::string_view name, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(Wide(name).c_str(), wideMode.c_str());
}

bool MoveFileOver(std::string_view source, std::string_view target) {
    return MoveFileExW(Wide(source).c_str(), Wide(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string ExecutableDirectory(const char* argv0) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            break;
        if (length < buffer.size()) {
            buffer.resize(length);
            return FileNameOf(fs::path(buffer).parent_path());
        }
        buffer.resize(buffer.size() * 2);
    }
    std::error_code ec;
    return FileNameOf(fs::absolute(FileSystemPath(argv0), ec).parent_path());
}

namespace {

// The wide command line's arguments, each made text by convert; argv where the system cannot say.
template <typename TConvert> std::vector<std::string> WideArguments(int argc, char** argv, TConvert convert) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || count != argc) {
        if (wide != nullptr)
            LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        const std::wstring_view arg(wide[i]);
        args.push_back(convert(std::u16string(arg.begin(), arg.end())));
    }
    LocalFree(wide);
    return args;
}

} // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return WideArguments(argc, argv, [](const std::u16string& arg) { return Utf16ToGbk(arg); });
}

std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv) {
    return WideArguments(argc, argv, [](const std::u16string& arg) { return Utf16ToUtf8(arg); });
}

#else

fs::path FileSystemPath(std::string_view name) {
    return fs::path(std::string(name));
}

std::string FileNameOf(const fs::path& path) {
    return path.string();
}

std::string FileNameOfText(std::string_view text) {
    return GbkToUtf8(text);
}

std::string FileNameToUtf8(std::string_view name) {
    return std::string(name);
}

std::FILE* FileOpen(std::string_view name, const char* mode) {
    return std::fopen(std::string(name).c_str(), mode);
}

bool MoveFileOver(std::string_view source, std::string_view target) {
    return std::rename(std::string(source).c_str(), std::string(target).c_str()) == 0;
}

std::string ExecutableDirectory(const char* argv0) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return self.parent_path().string();
    return fs::absolute(fs::path(argv0), ec).parent_path().string();
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

#endif

void SetStandardOutputBinary() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}
