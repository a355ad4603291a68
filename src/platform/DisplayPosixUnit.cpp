#include "platform/DisplayUnit.h"

#include "platform/SharedLibraryUnit.h"

#include <cstdlib>
#include <exception>

namespace {

// Qt's platform plugin ends the process with an abort when it cannot reach the X server, so the host asks
// the X client library first, before anything is opened. No library, no window either.
bool XServerAnswers() {
    try {
        TSharedLibrary xcb("libxcb.so.1");
        using TConnect = void* (*)(const char*, int*);
        using THasError = int (*)(void*);
        using TDisconnect = void (*)(void*);
        auto connect = reinterpret_cast<TConnect>(xcb.Symbol("xcb_connect"));
        auto hasError = reinterpret_cast<THasError>(xcb.Symbol("xcb_connection_has_error"));
        auto disconnect = reinterpret_cast<TDisconnect>(xcb.Symbol("xcb_disconnect"));
        if (connect == nullptr || hasError == nullptr || disconnect == nullptr)
            return false;
        void* connection = connect(nullptr, nullptr);
        const bool answers = connection != nullptr && hasError(connection) == 0;
        disconnect(connection);
        return answers;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

std::string NoDisplayReason() {
    auto value = [](const char* name) {
        const char* text = std::getenv(name);
        return std::string(text != nullptr ? text : "");
    };
    const std::string platform = value("QT_QPA_PLATFORM");
    // Another platform plugin (offscreen, wayland, ...) says for itself whether it can run.
    if (!platform.empty() && platform.rfind("xcb", 0) != 0)
        return {};
    if (platform.empty() && !value("WAYLAND_DISPLAY").empty())
        return {};
    const std::string display = value("DISPLAY");
    if (display.empty())
        return "DISPLAY is not set";
    if (!XServerAnswers())
        return "no X server answers at DISPLAY " + display;
    return {};
}

bool RunningUnderWine() {
    return false;
}

std::string QtPlatformChoice() {
    return {};
}
