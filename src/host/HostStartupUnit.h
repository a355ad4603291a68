#pragma once

#include "host/HostProcessUnit.h"
#include "host/InterfaceKindUnit.h"

#include <functional>
#include <memory>
#include <string>

class TBaseDoorlock;
class TBaseMember;
class TBasePolice;

// What a deployment hands the host: the interface kind and, for police and member, its back end.
struct THostConfig {
    TInterfaceKind Kind = TInterfaceKind::Doorlock;
    TBasePolice* Police = nullptr;
    TBaseMember* Member = nullptr;
    // Program name for --help / --version and messages.
    std::string ProgramName = "doorlock-host";
    // Called once the program directory is known and the log file exists, before the interface is set up
    // and the listener starts: a back end that keeps files finds its place here. An error it raises ends
    // the start with the message on standard error and exit status 1.
    std::function<void(const std::string& programDir)> OnStartUp;
};

// Sets InterfaceKind and the references of the kind: CurrentDoorlock (when a device is given),
// CurrentPolice, CurrentMember. Done once, before the listener starts.
void SetUpInterface(const THostConfig& config, TBaseDoorlock* device);

// The operator window, supplied by the window module.
class THostWindow {
public:
    virtual ~THostWindow() = default;
    // Creates the host window (which starts the listener), runs it until it may close, destroys it (which
    // stops the listener). onStuckHandlers: the listener's, for handlers that outlive its stop.
    virtual void Run(const std::function<void()>& onStuckHandlers) = 0;
    // The device options dialog of the window build, for the device's ShowOption.
    virtual void (*DeviceOptionDialog() const)() = 0;
};
// Creates the application object; nullptr and a message on standard error when there is no display.
using TWindowFactory = std::function<std::unique_ptr<THostWindow>(int& argc, char** argv)>;

// The window factory of this build: the operator window's, or an empty one in a build without a window.
// The build links exactly one of the two definitions.
TWindowFactory HostWindowFactory();

// Runs the listener without a window: start and stop lines on standard output, SIGINT / SIGTERM stop it (a
// second one while the stop waits ends the process). 0 after a clean stop; 1 with the message on standard
// error when it cannot listen or when connections outlive the stop's wait. onStuckHandlers: the listener's,
// for handlers that outlive its stop.
int RunHeadlessHost(const std::function<void()>& onStuckHandlers);

// The program entry of a host: --headless, --dir DIR, --help, --version; the start-up order around the
// window run (or the headless run). windowFactory may be empty in a build without a window.
int HostMain(int argc, char** argv, const THostConfig& config, const TWindowFactory& windowFactory);
