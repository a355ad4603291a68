#include "platform/ConsoleUnit.h"

#ifdef _WIN32
#include "platform/CodePageUnit.h"

#include <windows.h>

#include <io.h>
#endif

void WriteText(std::FILE* stream, std::string_view utf8) {
#ifdef _WIN32
    // The console's own code page would need changing for every program sharing it, and a redirection would
    // then get bytes of whatever it was; the wide call needs neither.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        std::fflush(stream);
        const std::u16string text = Utf8ToUtf16(utf8);
        const wchar_t* at = reinterpret_cast<const wchar_t*>(text.data());
        size_t left = text.size();
        while (left > 0) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(left < 8192 ? left : 8192);
            if (!WriteConsoleW(handle, at, chunk, &written, nullptr) || written == 0)
                break;
            at += written;
            left -= written;
        }
        return;
    }
#endif
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}
