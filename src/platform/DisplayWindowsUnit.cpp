#include "platform/DisplayUnit.h"

#include <windows.h>

// Every desktop session there has its display.
std::string NoDisplayReason() {
    return {};
}

std::string QtPlatformChoice() {
    // Wine's ntdll exports its version; Windows' does not.
    const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return underWine ? "windows:fontengine=directwrite" : std::string();
}
