#include "platform/ServiceNotifyUnit.h"
#include "platform/ServiceRunUnit.h"
#include "platform/StopSignalUnit.h"

#include <mutex>

#include <windows.h>

namespace {

// The service manager calls ServiceMain and the control handler with nothing but their arguments.
std::mutex StatusLock;
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status{};
const std::function<int()>* Body = nullptr;
int BodyStatus = 1;

// A start or stop may take as long as the store's connect time-out, or the stop's wait for handlers and its
// bound on a stuck one: the manager gives up on a service that reports no progress within the hint.
constexpr DWORD PendingHint = 30000;

void Report(DWORD state, int exitStatus = 0) {
    std::lock_guard<std::mutex> guard(StatusLock);
    if (StatusHandle == nullptr)
        return;
    // Stop and shutdown are taken only while running: before, the start would not see them; after, the stop
    // is under way.
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    Status.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    Status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    Status.dwCheckPoint = pending ? Status.dwCheckPoint + 1 : 0;
    Status.dwWaitHint = pending ? PendingHint : 0;
    SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING);
        RequestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    {
        std::lock_guard<std::mutex> guard(StatusLock);
        // An own-process service's name is not needed here.
        StatusHandle = RegisterServiceCtrlHandlerExW(L"", Control, nullptr);
    }
    if (StatusHandle == nullptr)
        return;
    Report(SERVICE_START_PENDING);
    BodyStatus = (*Body)();
    Report(SERVICE_STOPPED, BodyStatus);
}

} // namespace

bool ServiceRunAvailable() {
    return true;
}

int RunAsService(const std::function<int()>& body) {
    Body = &body;
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Returns when the service has stopped; fails at once in a process the manager did not start.
    if (!StartServiceCtrlDispatcherW(table))
        return -1;
    return BodyStatus;
}

void NotifyServiceReady() {
    Report(SERVICE_RUNNING);
}

void NotifyServiceStopping() {
    Report(SERVICE_STOP_PENDING);
}

void NotifyServiceEnding(int status) {
    Report(SERVICE_STOPPED, status);
}

// The manager restarts a service that ends; it has no watchdog message.
void NotifyServiceWatchdog() {}

std::chrono::milliseconds ServiceWatchdogInterval() {
    return std::chrono::milliseconds(0);
}
