#pragma once

#include <functional>

// A host run by the system's service manager rather than from a console or a desktop: on Windows the service
// control manager starts `doorlock-host.exe --service`; Linux has its own unit, which runs --headless.

// Whether this system runs a host this way.
bool ServiceRunAvailable();

// Runs body as the service the manager started: it is told the service is starting, Stop and Shutdown become
// the stop signal that WaitForStopSignal waits for, NotifyServiceReady and NotifyServiceStopping report
// running and stopping, and body's status becomes the service's exit code when it ends. -1 without running
// body when the process was not started by the service manager (or where there is none).
int RunAsService(const std::function<int()>& body);
