// Drives the host's windows from outside, as an operator would, through the Windows API:
//   windowdriver wait TITLE_HEX SECONDS   waits until a visible top-level window has that title
//   windowdriver gone TITLE_HEX SECONDS   waits until none has it any more
//   windowdriver close TITLE_HEX          asks the window to close (its close box)
//   windowdriver type TITLE_HEX TEXT      brings the window to the front and types TEXT and Enter
// Titles are given as the hexadecimal bytes of their UTF-8, so that no code page stands between the shell
// and the program. Exit status 0 on success, 1 on failure, 2 for bad arguments.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring FromHexUtf8(const char* hex) {
    std::string bytes;
    for (const char* p = hex; p[0] != '\0' && p[1] != '\0'; p += 2)
        bytes.push_back(static_cast<char>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

struct TSearch {
    std::wstring Title;
    HWND Found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<TSearch*>(context);
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    if (IsWindowVisible(window) && search->Title == title) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindTopLevel(const std::wstring& title) {
    TSearch search{title};
    EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

bool WaitFor(const std::wstring& title, bool present, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if ((FindTopLevel(title) != nullptr) == present)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

INPUT Key(WORD virtualKey, wchar_t unicode, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = unicode;
    input.ki.dwFlags = (unicode != 0 ? KEYEVENTF_UNICODE : 0) | (up ? KEYEVENTF_KEYUP : 0);
    return input;
}

bool Type(HWND window, const std::string& text) {
    SetForegroundWindow(window);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<INPUT> inputs;
    for (char c : text) {
        inputs.push_back(Key(0, static_cast<wchar_t>(c), false));
        inputs.push_back(Key(0, static_cast<wchar_t>(c), true));
    }
    inputs.push_back(Key(VK_RETURN, 0, false));
    inputs.push_back(Key(VK_RETURN, 0, true));
    return SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: windowdriver wait|gone|close|type TITLE_HEX [SECONDS|TEXT]\n");
        return 2;
    }
    const std::string command = argv[1];
    const std::wstring title = FromHexUtf8(argv[2]);
    if ((command == "wait" || command == "gone") && argc == 4)
        return WaitFor(title, command == "wait", std::atoi(argv[3])) ? 0 : 1;
    HWND window = FindTopLevel(title);
    if (window == nullptr) {
        std::fprintf(stderr, "windowdriver: no window titled %s\n", argv[2]);
        return 1;
    }
    if (command == "close" && argc == 3)
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    if (command == "type" && argc == 4)
        return Type(window, argv[3]) ? 0 : 1;
    return 2;
}
