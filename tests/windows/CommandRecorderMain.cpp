// Stands in for a system tool (icacls.exe, netsh.exe) in the Wine prefix of the installer test: appends the
// command line it was started with, as UTF-8, one line per start, to the file that DOORLOCK_COMMAND_LOG
// names, and succeeds. Wine has no access control and no firewall, so what setup asks of them is checked from
// there.

#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    const wchar_t* line = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), size, nullptr, nullptr);
    wchar_t log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"DOORLOCK_COMMAND_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    std::FILE* file = _wfopen(log, L"ab");
    if (file == nullptr)
        return 1;
    std::fprintf(file, "%s\n", text.c_str());
    std::fclose(file);
    return 0;
}
