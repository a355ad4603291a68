#include "support/HostRunner.h"

#include "support/TestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/DisplayUnit.h"
#include "platform/FileNameUnit.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::wstring QuoteArgument(const std::string& arg) {
    const std::u16string wide = GbkToUtf16(arg);
    std::wstring text(wide.begin(), wide.end());
    if (!text.empty() && text.find_first_of(L" \t\"") == std::wstring::npos)
        return text;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

// The system's identity of a file or directory (std::filesystem::equivalent compares no file numbers here).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    auto identity = [](const std::filesystem::path& path, BY_HANDLE_FILE_INFORMATION& info) {
        HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        const bool known = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Wine turns SIGINT into Ctrl+C for the program's handlers; a console event would reach no program, since
// those under test have no console. The program's Unix process is the one whose name and working
// directory (its --dir) are the program's. True when SIGINT was sent.
bool InterruptUnderWine(const std::string& program, const std::wstring& directory) {
    namespace fs = std::filesystem;
    if (directory.empty())
        return false;
    // The kernel keeps 15 bytes of a process name.
    const std::string name = FileSystemPath(program).filename().string().substr(0, 15);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(L"Z:\\proc", error)) {
        const std::wstring pid = entry.path().filename().wstring();
        if (pid.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        if (!SameFile(entry.path() / L"cwd", directory))
            continue;
        std::ifstream comm(entry.path() / L"comm");
        std::string command;
        std::getline(comm, command);
        if (command != name)
            continue;
        std::wstring line = L"/bin/kill -INT " + pid;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return false;
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return true;
    }
    return false;
}

} // namespace

TRunningProgram::TRunningProgram(const std::string& program, const std::vector<std::string>& args,
                                 const TProgramOptions& options) {
    // Under Wine the program is found again by its working directory: its --dir.
    std::wstring directory;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        std::error_code missing;
        if (args[i] == "--dir" && std::filesystem::is_directory(FileSystemPath(args[i + 1]), missing))
            directory = FileSystemPath(args[i + 1]).wstring();
    }
    m_program = program;
    m_directory = directory;
    std::wstring commandLine = QuoteArgument(program);
    for (const auto& a : args)
        commandLine += L" " + QuoteArgument(a);
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    PROCESS_INFORMATION info{};
    {
        // Programs started at the same time must not inherit each other's pipe ends: the inheritable ends
        // exist only while this lock is held.
        static std::mutex startLock;
        std::lock_guard<std::mutex> guard(startLock);
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outWrite;
        startup.hStdError = errWrite;
        // Wine's process start fails now and then on a loaded machine (seen once in CI among thousands of
        // starts); a second try a moment later succeeds. A program that cannot start fails every try.
        bool started = false;
        DWORD error = 0;
        for (int attempt = 0; attempt < 3 && !started; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                     RunningUnderWine() ? 0 : CREATE_NEW_PROCESS_GROUP, nullptr,
                                     directory.empty() ? nullptr : directory.c_str(), &startup, &info);
            if (!started)
                error = GetLastError();
        }
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        if (!started) {
            CloseHandle(outRead);
            CloseHandle(errRead);
            throw std::runtime_error("CreateProcess failed for " + program + " (error " +
                                     std::to_string(error) + ")");
        }
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_pid = static_cast<pid_t>(info.dwProcessId);
    m_outReader = std::thread([this, outRead, firstLineOnly = options.firstLineOnly] {
        Collect(outRead, m_output, firstLineOnly);
    });
    m_errReader = std::thread([this, errRead] { Collect(errRead, m_errors, false); });
}

TRunningProgram::~TRunningProgram() {
    if (!m_exited && m_process != nullptr) {
        TerminateProcess(m_process, 128 + SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    if (m_outReader.joinable())
        m_outReader.join();
    if (m_errReader.joinable())
        m_errReader.join();
    if (m_process != nullptr)
        CloseHandle(m_process);
}

// The pipe's end is not awaited: a process that Wine starts for the program (its desktop process, which gets
// the program's standard error) can hold the write end long after the program is gone. Once the program
// has exited, what it wrote is in the pipe, and the reader stops when the pipe is empty.
void TRunningProgram::Collect(void* pipe, std::string& target, bool firstLineOnly) {
    char buffer[4096];
    for (;;) {
        const bool exited = WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0;
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break;
        if (available == 0) {
            if (exited)
                break;
            Sleep(10);
            continue;
        }
        DWORD n = 0;
        if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0)
            break;
        std::lock_guard<std::mutex> guard(m_lock);
        target.append(buffer, n);
        if (firstLineOnly && target.find('\n') != std::string::npos)
            break;
    }
    CloseHandle(pipe);
}

int TRunningProgram::Wait(std::chrono::milliseconds timeout) {
    if (m_exited)
        return m_exitStatus;
    if (WaitForSingleObject(m_process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    m_exited = true;
    m_exitStatus = static_cast<int>(code);
    // The readers may still hold the program's last bytes; they end at the pipes' end.
    if (m_outReader.joinable())
        m_outReader.join();
    if (m_errReader.joinable())
        m_errReader.join();
    return m_exitStatus;
}

// SIGKILL ends the process at once; any other signal is the stop a user at the program's console asks for:
// Ctrl+C under Wine, Ctrl+Break to the program's process group elsewhere.
int TRunningProgram::Stop(int signal, std::chrono::milliseconds timeout) {
    if (!m_exited) {
        if (signal == SIGKILL)
            TerminateProcess(m_process, 128 + SIGKILL);
        else if (RunningUnderWine())
            InterruptUnderWine(m_program, m_directory);
        else
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(m_pid));
    }
    return Wait(timeout);
}

#else

TRunningProgram::TRunningProgram(const std::string& program, const std::vector<std::string>& args,
                                 const TProgramOptions& options) {
    int out[2];
    int err[2];
    // Close-on-exec, so that a program started at the same time by another thread does not hold our pipes
    // open (dup2 clears it on the child's own ends).
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (options.nofileHard > 0)
        files.rlim_max = static_cast<rlim_t>(options.nofileHard);
    if (options.nofileSoft > 0)
        files.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(options.nofileSoft), files.rlim_max);
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        // The child must not inherit blocked stop signals from a test thread.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setrlimit(RLIMIT_NOFILE, &files);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_outReader = std::thread(
        [this, fd = out[0], firstLineOnly = options.firstLineOnly] { Collect(fd, m_output, firstLineOnly); });
    m_errReader = std::thread([this, fd = err[0]] { Collect(fd, m_errors, false); });
}

TRunningProgram::~TRunningProgram() {
    if (!m_exited && m_pid > 0) {
        kill(m_pid, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    if (m_outReader.joinable())
        m_outReader.join();
    if (m_errReader.joinable())
        m_errReader.join();
}

void TRunningProgram::Collect(int fd, std::string& target, bool firstLineOnly) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(m_lock);
        target.append(buffer, static_cast<size_t>(n));
        if (firstLineOnly && target.find('\n') != std::string::npos)
            break;
    }
    close(fd);
}

int TRunningProgram::Wait(std::chrono::milliseconds timeout) {
    if (m_exited)
        return m_exitStatus;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exited = true;
            m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // The readers may still hold the program's last bytes; they end at the pipes' end.
            if (m_outReader.joinable())
                m_outReader.join();
            if (m_errReader.joinable())
                m_errReader.join();
            return m_exitStatus;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int TRunningProgram::Stop(int signal, std::chrono::milliseconds timeout) {
    if (!m_exited)
        kill(m_pid, signal);
    return Wait(timeout);
}

#endif

bool TRunningProgram::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_output.find(text) != std::string::npos)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// Standard output and error as text: a Windows program's runtime writes each line end as CR LF.
std::string AsText(std::string text) {
#ifdef _WIN32
    size_t to = 0;
    for (size_t from = 0; from < text.size(); ++from) {
        if (!(text[from] == '\r' && from + 1 < text.size() && text[from + 1] == '\n'))
            text[to++] = text[from];
    }
    text.resize(to);
#endif
    return text;
}

} // namespace

std::string TRunningProgram::Output() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return AsText(m_output);
}

std::string TRunningProgram::RawOutput() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output;
}

std::string TRunningProgram::Errors() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return AsText(m_errors);
}

std::string BuildProgram(const std::string& name) {
#ifdef _WIN32
    return std::string(DOORLOCK_BIN_DIR) + "/" + name + ".exe";
#else
    return std::string(DOORLOCK_BIN_DIR) + "/" + name;
#endif
}

std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port,
                                                   const TProgramOptions& options) {
    std::unique_ptr<TRunningProgram> host;
    // A port picked free can be taken by someone else before the host binds it: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeTcpPort();
        WriteFileBytes(JoinFileName(dir, "Option.ini"), optionIni(port));
        host = std::make_unique<TRunningProgram>(
            program, std::vector<std::string>{"--headless", "--dir", dir}, options);
        if (host->WaitForOutput(startLine)) {
            // The start line comes before the listener is active; a connection proves it listens.
            bool listening = WaitFor([&] {
                try {
                    Exchange(port, std::string(), nullptr, std::chrono::milliseconds(200));
                    return true;
                } catch (const std::exception&) {
                    return host->Wait(std::chrono::milliseconds(0)) != -1;
                }
            });
            if (listening && host->Wait(std::chrono::milliseconds(0)) == -1)
                return host;
        }
        // Said, since a test that counts what a start writes sees this start's lines too.
        std::fprintf(stderr, "%s on port %d did not come up, started again; its errors: %s\n",
                     program.c_str(), port, host->Errors().c_str());
        host->Stop(SIGKILL);
    }
    throw std::runtime_error(program + " did not start: " + host->Errors());
}

std::unique_ptr<TRunningProgram> StartDoorlockHost(const std::string& program, const std::string& dir,
                                                   const std::string& doorlockOptions, int& port,
                                                   const std::string& sysOptions, bool blankCard,
                                                   const TProgramOptions& options) {
    if (blankCard)
        WriteFileBytes(JoinFileName(dir, "SimCard.bin"), std::string(256, '\xFF'));
    return StartHeadlessHost(
        program, dir,
        [&](int listenPort) {
            return "[SysOption]\r\nDoorlockPortNo=" + std::to_string(listenPort) + "\r\n" + sysOptions +
                   "[DoorlockOption]\r\n" + doorlockOptions;
        },
        "门锁接口监听服务器已经启动...", port, options);
}

TProcessStats ReadProcessStats(pid_t pid) {
    TProcessStats stats;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line)) {
        auto value = [&](const char* name, long& into) {
            const size_t length = std::strlen(name);
            if (line.compare(0, length, name) == 0)
                into = std::strtol(line.c_str() + length, nullptr, 10);
        };
        value("VmRSS:", stats.rssKb);
        value("VmHWM:", stats.hwmKb);
        value("Threads:", stats.threads);
    }
    std::error_code ec;
    long fds = 0;
    for (std::filesystem::directory_iterator it(proc + "/fd", ec), end; !ec && it != end; it.increment(ec))
        ++fds;
    if (!ec)
        stats.fds = fds;
    return stats;
}

std::string DescriptorLimit(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft;
            fields >> soft;
            return soft;
        }
    }
    return "?";
}
