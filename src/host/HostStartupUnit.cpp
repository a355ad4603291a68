#include "host/HostStartupUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "doorlock/OptionUnit.h"
#include "host/InterfaceHostUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "police/BasePoliceUnit.h"
#include "server/InfoListUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

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
    const std::string iniFile = (fs::path(m_programDir) / "Option.ini").string();
    m_option = std::make_unique<TOption>(iniFile);
    m_option->LoadOption();
    Option = m_option.get();

    m_logFile = std::make_unique<TLogFile>(LogFileNameFor(m_programDir));
    LogFile = m_logFile.get();

    m_sysOption = std::make_unique<TSysOption>(iniFile);
    m_sysOption->LoadOption();
    SysOption = m_sysOption.get();

    // A store that cannot be opened is logged; the host runs on and later operations try again.
    m_store =
        std::make_unique<TDoorlockRecordStore>("sqlite3", (fs::path(m_programDir) / "Client.db").string());
    DoorlockRecordStore = m_store.get();
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
BOOL WINAPI ConsoleHandler(DWORD) {
    SetEvent(g_stopEvent);
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
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
#endif
}

void WaitForStopSignal() {
#ifndef _WIN32
    sigset_t set = StopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
#else
    WaitForSingleObject(g_stopEvent, INFINITE);
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

std::string ExecutableDir(const char* argv0) {
#ifndef _WIN32
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return self.parent_path().string();
#endif
    return fs::absolute(fs::path(argv0)).parent_path().string();
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

bool HasDisplay() {
#ifdef _WIN32
    return true;
#else
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
#endif
}

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
    WaitForStopSignal();
    try {
        host.StopServer();
    } catch (const std::exception& e) {
        PrintError(e.what());
    }
    return 0;
}

int HostMain(int argc, char** argv, const THostConfig& config, const TWindowFactory& windowFactory) {
    bool headless = false;
    std::string programDir;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--dir" && i + 1 < argc) {
            programDir = argv[++i];
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
                         argv[i]);
            return 2;
        }
    }
    const TInterfaceKind* kind = FindInterfaceKind(config.Kind);
    if (kind == nullptr) {
        std::fprintf(stderr, "%s: interface kind %d is not served by this host\n", config.ProgramName.c_str(),
                     config.Kind);
        return 2;
    }
    if (!headless && !windowFactory) {
        std::fprintf(stderr, "%s: this build has no window; run it with --headless\n",
                     config.ProgramName.c_str());
        return 1;
    }
    if (!headless && !HasDisplay()) {
        std::fprintf(stderr,
                     "%s: no display to open the window on (DISPLAY is not set); run with --headless to "
                     "serve without a window\n",
                     config.ProgramName.c_str());
        return 1;
    }
    if (programDir.empty())
        programDir = ExecutableDir(argv[0]);
    std::error_code ec;
    if (!fs::is_directory(programDir, ec)) {
        std::fprintf(stderr, "%s: program directory '%s' does not exist\n", config.ProgramName.c_str(),
                     programDir.c_str());
        return 2;
    }
    programDir = fs::absolute(programDir).lexically_normal().string();

    if (headless)
        BlockStopSignals();
    RaiseDescriptorLimit();

    THostProcess process(programDir);
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
    return status;
}
