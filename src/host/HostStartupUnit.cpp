#include "host/HostStartupUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "host/HostArgumentsUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/StuckStopGuardUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/DisplayUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "platform/ServiceNotifyUnit.h"
#include "platform/ServiceRunUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/StopSignalUnit.h"
#include "police/BasePoliceUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/InfoListUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace fs = std::filesystem;

void SetUpInterface(const THostConfig& config, TBaseDoorlock* device) {
    InterfaceKind = config.Kind;
    if (device != nullptr)
        CurrentDoorlock = device;
    if (config.Police != nullptr)
        CurrentPolice = config.Police;
    if (config.Member != nullptr)
        CurrentMember = config.Member;
}

namespace {

// A service has no console for its errors: they go to the log too, where its administrator looks (its
// other lines are there already, or say only that it started and stopped, as the manager does).
bool ErrorsToLog = false;

// The information list of a run without a window: standard output, UTF-8.
class TConsoleInfoList : public TInfoList {
public:
    void AppendLine(const std::string& line) override {
        if (Quiet)
            return;
        std::string text = GbkToUtf8(line);
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    bool Quiet = false;
};

void PrintError(const std::string& gbkMessage) {
    if (ErrorsToLog && LogFile != nullptr)
        WriteLog(gbkMessage);
    std::string text = GbkToUtf8(gbkMessage);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace

int RunHeadlessHost(const std::function<void()>& onStuckHandlers) {
    FixProcessFormats();
    TConsoleInfoList infoList;
    TInterfaceHost host(infoList, onStuckHandlers);
    try {
        host.StartServer();
    } catch (const std::exception& e) {
        PrintError(e.what());
        // What did start is taken down; as nothing listened, no stop line follows the failure.
        infoList.Quiet = true;
        try {
            host.StopServer();
        } catch (const std::exception&) {
        }
        return 1;
    }
    NotifyServiceReady();
    // Sent by the thread that waits for the log's lock, and only while the listener's I/O threads run what it
    // posted a tick before: when either is stuck, the messages stop and the service manager restarts the
    // host.
    WaitForStopSignal(ServiceWatchdogInterval() / 2, [&host] {
        const bool listening = host.TCPServer().IoResponds();
        if (LogFile != nullptr)
            LogFile->WaitWhileWriting();
        if (listening)
            NotifyServiceWatchdog();
    });
    NotifyServiceStopping();
    try {
        host.StopServer();
    } catch (const std::exception& e) {
        // "Terminate Thread Timeout": handlers are still running; the host's end waits for them, bounded
        // by the process.
        PrintError(e.what());
        return 1;
    }
    return 0;
}

namespace {

int RunHost(int argc, char** argv, const THostArguments& arguments, const THostConfig& config,
            const TWindowFactory& windowFactory) {
    const bool headless = arguments.Headless;
    std::string programDir = arguments.ProgramDir;
    const TInterfaceKindRow* kind = FindInterfaceKind(config.Kind);
    if (kind == nullptr) {
        std::fprintf(stderr, "%s: interface kind %d is not served by this host\n", config.ProgramName.c_str(),
                     static_cast<int>(config.Kind));
        return 2;
    }
    if (!headless && !windowFactory) {
        std::fprintf(stderr, "%s: this build has no window; run it with --headless\n",
                     config.ProgramName.c_str());
        return 1;
    }
    if (!headless) {
        const std::string reason = NoDisplayReason();
        if (!reason.empty()) {
            std::fprintf(stderr,
                         "%s: no display to open the window on (%s); run with --headless to serve without a "
                         "window\n",
                         config.ProgramName.c_str(), reason.c_str());
            return 1;
        }
    }
    if (programDir.empty())
        programDir = ExecutableDirectory(argv[0]);
    std::error_code ec;
    if (!fs::is_directory(FileSystemPath(programDir), ec)) {
        std::fprintf(stderr, "%s: program directory '%s' does not exist\n", config.ProgramName.c_str(),
                     FileNameToUtf8(programDir).c_str());
        return 2;
    }
    programDir = FileNameOf(fs::absolute(FileSystemPath(programDir)).lexically_normal());

    if (headless)
        BlockStopSignals();
    RaiseDescriptorLimit();

    // Option.ini or today's log put in place as a link or FIFO by whoever may write the directory: the start
    // says so, rather than run on the defaults or write its evidence where someone else chose.
    for (const std::string& file : {JoinFileName(programDir, "Option.ini"), LogFileNameFor(programDir)}) {
        if (const std::string refusal = RegularFileRefusal(file); !refusal.empty()) {
            std::fprintf(stderr, "%s: %s: %s\n", config.ProgramName.c_str(), file.c_str(), refusal.c_str());
            return 1;
        }
    }
    const TStopFinished stopFinished;
    THostProcess process(programDir, ExecutableDirectory(argv[0]));
    TStuckStopGuard stuckStop(process);
    std::unique_ptr<THostWindow> window;
    if (!headless) {
        window = windowFactory(argc, argv);
        if (!window)
            return 1;
    }
    if (config.OnStartUp) {
        try {
            config.OnStartUp(process.ProgramDir());
        } catch (const std::exception& e) {
            PrintError(e.what());
            return 1;
        }
    }
    TBaseDoorlock* device =
        kind->UsesDevice ? process.OpenDevice(window ? window->DeviceOptionDialog() : nullptr) : nullptr;
    SetUpInterface(config, device);

    int status = 0;
    if (headless) {
        status = RunHeadlessHost(stuckStop.OnStuckHandlers());
    } else {
        try {
            window->Run(stuckStop.OnStuckHandlers());
        } catch (...) {
            process.CloseDevice(false);
            throw;
        }
    }
    process.CloseDevice();
    // The handlers came back within the grace, but the stop had failed all the same.
    return stuckStop.Armed() ? 1 : status;
}

} // namespace

int HostMain(int argc, char** argv, const THostConfig& config, const TWindowFactory& windowFactory) {
    RestrictLibrarySearch();
    IgnoreBrokenPipe();
    THostArguments arguments;
    if (const std::optional<int> status =
            ReadHostArguments(ProgramArguments(argc, argv), config.ProgramName, arguments))
        return *status;
    if (!arguments.Service)
        return RunHost(argc, argv, arguments, config, windowFactory);
    if (!ServiceRunAvailable()) {
        std::fprintf(stderr,
                     "%s: --service is for the Windows service control manager; here the service unit runs "
                     "the host with --headless\n",
                     config.ProgramName.c_str());
        return 2;
    }
    ErrorsToLog = true;
    const int status = RunAsService([&] { return RunHost(argc, argv, arguments, config, windowFactory); });
    if (status < 0) {
        std::fprintf(stderr,
                     "%s: --service: not started by the service control manager; register the host with "
                     "sc.exe create, or run it with --headless\n",
                     config.ProgramName.c_str());
        return 1;
    }
    return status;
}
