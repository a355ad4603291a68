#include "platform/DisplayUnit.h"

#include <windows.h>

// Every desktop session there has its display.
std::string NoDisplayReason() {
    return {};
}

bool RunningUnderWine() {
    // Wine's ntdll exports its version; Windows' does not.
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string QtPlatformChoice() {
    return RunningUnderWine() ? "windows:fontengine=directwrite" : std::string();
}
