#include "platform/StopSignalUnit.h"

#include <atomic>

#include <windows.h>

namespace {

// The console handler is called by the system, in a thread of its own, with nothing but the event.
HANDLE StopEvent = nullptr;
HANDLE StoppedEvent = nullptr;
std::atomic<bool> StopRequested{false};

// For a console that is closing (or a logoff or shutdown) the system ends the process as soon as the handler
// returns, so it waits for the stop to finish first (the system allows about five seconds).
BOOL WINAPI ConsoleHandler(DWORD event) {
    // A second request while the first one's stop is still waiting ends the process at once.
    if (StopRequested.exchange(true))
        return FALSE;
    SetEvent(StopEvent);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(StoppedEvent, 10000);
    return TRUE;
}

} // namespace

void BlockStopSignals() {
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StoppedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    // The information lines are UTF-8, as elsewhere; a console shows them so only when told.
    SetConsoleOutputCP(CP_UTF8);
}

void WaitForStopSignal(std::chrono::milliseconds interval, const std::function<void()>& tick) {
    while (WaitForSingleObject(StopEvent, interval.count() > 0 ? static_cast<DWORD>(interval.count())
                                                               : INFINITE) == WAIT_TIMEOUT)
        tick();
}

void RequestStop() {
    if (StopEvent != nullptr && !StopRequested.exchange(true))
        SetEvent(StopEvent);
}

TStopFinished::~TStopFinished() {
    if (StoppedEvent != nullptr)
        SetEvent(StoppedEvent);
}

// Writes to a closed pipe fail there without a signal.
void IgnoreBrokenPipe() {}

// Sockets there are not counted against a descriptor limit.
void RaiseDescriptorLimit() {}

size_t DescriptorLimit() {
    return 0;
}
