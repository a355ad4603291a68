#include "host/HostStartupUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "host/InterfaceHostUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/ServiceNotifyUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "police/BasePoliceUnit.h"
#include "server/InfoListUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

THostProcess::THostProcess(std::string programDir) : m_programDir(std::move(programDir)) {
    const std::string iniFile = JoinFileName(m_programDir, "Option.ini");
    m_option = std::make_unique<TDoorlockOption>(iniFile);
    m_option->LoadOption();
    Option = m_option.get();

    m_logFile = std::make_unique<TLogFile>(LogFileNameFor(m_programDir));
    LogFile = m_logFile.get();

    m_sysOption = std::make_unique<TSysOption>(iniFile);
    m_sysOption->LoadOption();
    SysOption = m_sysOption.get();

    // A store that cannot be opened is logged; the host runs on and later operations try again.
    m_store = std::make_unique<TDoorlockRecordStore>(RecordStoreTarget(m_option->Database, m_programDir));
    DoorlockRecordStore = m_store.get();
    WriteLog(m_store->Description());
    m_store->OpenDatabase();
}

THostProcess::~THostProcess() {
    CloseDevice(false);
    DoorlockRecordStore = nullptr;
    m_store.reset();
    LogFile = nullptr;
    m_logFile.reset();
    // The options live as long as the process-wide references may be read.
}

TBaseDoorlock* THostProcess::OpenDevice() {
    m_encoder = CreateCardEncoder(Option->EncoderLibrary, m_programDir);
    WriteLog(m_encoder->Description());
    m_device = std::make_unique<TIcDoorlock>(*m_encoder);
    m_device->OpenPort();
    return m_device.get();
}

void THostProcess::CloseForExit() {
    // A store or log operation still running (a database busy with another program) is given a moment.
    constexpr auto wait = std::chrono::seconds(1);
    if (m_store)
        m_store->CloseForExit(wait);
    if (m_logFile)
        m_logFile->CloseForExit(wait);
}

void THostProcess::CloseDevice(bool closePort) {
    if (!m_device)
        return;
    if (closePort)
        m_device->ClosePort();
    if (CurrentDoorlock == m_device.get())
        CurrentDoorlock = nullptr;
    m_device.reset();
    m_encoder.reset();
}

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

// The information list of a run without a window: standard output, UTF-8.
class TConsoleInfoList : public TInfoList {
public:
    void AppendLine(const std::string& line) override {
        std::string text = GbkToUtf8(line);
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
};

void PrintError(const std::string& gbkMessage) {
    std::string text = GbkToUtf8(gbkMessage);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

#ifndef _WIN32
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
#else
HANDLE g_stopEvent = nullptr;
HANDLE g_stoppedEvent = nullptr;
std::atomic<bool> g_stopRequested{false};

// Ctrl+C, Ctrl+Break and closing the console stop the host as SIGTERM does. The handler runs in a thread
// of its own; for a console that is closing (or a logoff or shutdown) the system ends the process as soon
// as the handler returns, so it waits for the stop to finish first (the system allows about five seconds).
BOOL WINAPI ConsoleHandler(DWORD event) {
    // A second request while the first one's stop is still waiting ends the process at once.
    if (g_stopRequested.exchange(true))
        return FALSE;
    SetEvent(g_stopEvent);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_stoppedEvent, 10000);
    return TRUE;
}
#endif

// Blocks the stop signals in the calling thread and, through inheritance, in every thread started later,
// so that only the waiting main thread receives them.
void BlockStopSignals() {
#ifndef _WIN32
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#else
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stoppedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    // The information lines are UTF-8, as elsewhere; a console shows them so only when told.
    SetConsoleOutputCP(CP_UTF8);
#endif
}

// Marks the end of the ordered stop, for a console handler that must not return before it.
struct TStopFinished {
    ~TStopFinished() {
#ifdef _WIN32
        if (g_stoppedEvent != nullptr)
            SetEvent(g_stoppedEvent);
#endif
    }
};

// Runs tick every interval (never when it is zero) until a stop signal comes.
void WaitForStopSignal(std::chrono::milliseconds interval, const std::function<void()>& tick) {
#ifndef _WIN32
    sigset_t set = StopSignals();
    if (interval.count() > 0) {
        const timespec wait{static_cast<time_t>(interval.count() / 1000),
                            static_cast<long>(interval.count() % 1000 * 1000000)};
        while (sigtimedwait(&set, nullptr, &wait) < 0) {
            if (errno == EAGAIN)
                tick();
        }
    } else {
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
    }
    // A second signal while the stop is still waiting for connections ends the process at once (the
    // default action); the other threads keep them blocked, so this thread takes it.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
#else
    while (WaitForSingleObject(g_stopEvent, interval.count() > 0 ? static_cast<DWORD>(interval.count())
                                                                 : INFINITE) == WAIT_TIMEOUT)
        tick();
#endif
}

// Every connection holds a descriptor for as long as its client keeps it open. With the usual soft limit of
// 1024, about a thousand open connections leave none for the next accept, the log file or the card file, and
// then no request is answered at all; the hard limit is what the system allows this process.
void RaiseDescriptorLimit() {
#ifndef _WIN32
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Where the system refuses (macOS caps an unlimited hard limit lower), the soft one stays.
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

void PrintUsage(const THostConfig& config) {
    std::printf("Usage: %s [--headless] [--dir DIR]\n"
                "  --headless   serve without a window; SIGINT / SIGTERM stop the host\n"
                "  --dir DIR    program directory with Option.ini, the log files, Client.db and SimCard.bin\n"
                "               (default: the directory of the executable)\n"
                "  --help       show this help\n"
                "  --version    show the version\n",
                config.ProgramName.c_str());
}

#ifndef _WIN32
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
#endif

// Empty when the window can open; otherwise why not.
std::string NoDisplayReason() {
#ifdef _WIN32
    return {};
#else
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
#endif
}

// Bounds a shut-down that a stuck connection handler would hold up for ever (a vendor library call that
// does not return). Armed once the stop has given up waiting and said so, it lets the handlers a moment
// more, then closes the record store and the log and ends the process with status 1. It never calls the
// library: the device's ClosePort, if the main thread is at it, waits for the handler that holds it.
class TStuckStopGuard {
public:
    explicit TStuckStopGuard(THostProcess& process) : m_process(process) {
        OnStuckHandlers = [this] { Arm(); };
    }
    ~TStuckStopGuard() {
        OnStuckHandlers = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancelled = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    TStuckStopGuard(const TStuckStopGuard&) = delete;
    TStuckStopGuard& operator=(const TStuckStopGuard&) = delete;

    bool Armed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_thread.joinable();
    }

private:
    static constexpr auto Grace = std::chrono::seconds(2);

    void Arm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { EndAfterGrace(); });
    }

    void EndAfterGrace() {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_changed.wait_for(lock, Grace, [this] { return m_cancelled; }))
                return;
        }
        m_process.CloseForExit();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(1);
    }

    THostProcess& m_process;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_cancelled = false;
    std::thread m_thread;
};

} // namespace

int RunHeadlessHost() {
    FixProcessFormats();
    TConsoleInfoList infoList;
    TInterfaceHost host(infoList);
    try {
        host.StartServer();
    } catch (const std::exception& e) {
        PrintError(e.what());
        try {
            host.StopServer();
        } catch (const std::exception&) {
        }
        return 1;
    }
    NotifyServiceReady();
    // Sent by the thread that waits for the listener's lock and the log's: when either is stuck, the
    // messages stop and the service manager restarts the host.
    WaitForStopSignal(ServiceWatchdogInterval() / 2, [&host] {
        host.TCPServer().LiveConnectionCount();
        if (LogFile != nullptr)
            LogFile->WaitWhileWriting();
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

int HostMain(int argc, char** argv, const THostConfig& config, const TWindowFactory& windowFactory) {
#ifndef _WIN32
    // A closed standard output (`doorlock-host --headless | head -1`) must fail a write, not end the process
    // before the stop has run.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    bool headless = false;
    std::string programDir;
    const std::vector<std::string> args = ProgramArguments(argc, argv);
    for (size_t i = 1; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--dir" && i + 1 < args.size()) {
            programDir = args[++i];
        } else if (arg.rfind("--dir=", 0) == 0) {
            programDir = std::string(arg.substr(6));
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(config);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", config.ProgramName.c_str(), DOORLOCK_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s' (see --help)\n", config.ProgramName.c_str(),
                         FileNameToUtf8(args[i]).c_str());
            return 2;
        }
    }
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

    const TStopFinished stopFinished;
    THostProcess process(programDir);
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
    TBaseDoorlock* device = kind->UsesDevice ? process.OpenDevice() : nullptr;
    SetUpInterface(config, device);

    int status = 0;
    if (headless) {
        status = RunHeadlessHost();
    } else {
        try {
            window->Run();
        } catch (...) {
            process.CloseDevice(false);
            throw;
        }
    }
    process.CloseDevice();
    // The handlers came back within the grace, but the stop had failed all the same.
    return stuckStop.Armed() ? 1 : status;
}
