#pragma once

#include <chrono>

// The service manager's readiness and watchdog messages (systemd's notification socket). Each is a no-op
// where nobody listens: NOTIFY_SOCKET unset, or a build without the service manager (Windows).
void NotifyServiceReady();
void NotifyServiceStopping();
void NotifyServiceWatchdog();
// How often the manager expects the watchdog message; zero when it expects none.
std::chrono::milliseconds ServiceWatchdogInterval();
