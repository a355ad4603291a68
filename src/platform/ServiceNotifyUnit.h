#pragma once

#include <chrono>

// The service manager's readiness and watchdog messages (systemd's notification socket). Each is a no-op
// where nobody listens: NOTIFY_SOCKET unset, or a build without the service manager (Windows).
void NotifyServiceReady();
void NotifyServiceStopping();
void NotifyServiceWatchdog();
// The process ends now with this status, before its run returns (a stop bounded on a stuck handler): the
// Windows service manager hears it as a stop, not as a failure to restart after.
void NotifyServiceEnding(int status);
// How often the manager expects the watchdog message; zero when it expects none.
std::chrono::milliseconds ServiceWatchdogInterval();
