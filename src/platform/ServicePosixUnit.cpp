#include "platform/ServiceNotifyUnit.h"
#include "platform/ServiceRunUnit.h"

#ifdef DOORLOCK_WITH_SYSTEMD
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

namespace {

void Notify(const char* state) {
    // Nothing to do about a failure: the manager then acts on what it does not hear.
    sd_notify(0, state);
}

} // namespace

void NotifyServiceReady() {
    Notify("READY=1");
}

void NotifyServiceStopping() {
    Notify("STOPPING=1");
}

void NotifyServiceWatchdog() {
    Notify("WATCHDOG=1");
}

// systemd hears the exit itself.
void NotifyServiceEnding(int) {}

std::chrono::milliseconds ServiceWatchdogInterval() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<uint64_t>(1, usec / 1000));
}
#else
void NotifyServiceReady() {}
void NotifyServiceStopping() {}
void NotifyServiceWatchdog() {}
void NotifyServiceEnding(int) {}
std::chrono::milliseconds ServiceWatchdogInterval() {
    return std::chrono::milliseconds(0);
}
#endif

// The systemd unit runs the host --headless; there is no other manager to serve here.
bool ServiceRunAvailable() {
    return false;
}

int RunAsService(const std::function<int()>&) {
    return -1;
}
