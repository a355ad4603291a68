#include "support/HostRunner.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SocketUnit.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr int NoSigPipe = 0;
int CloseSocket(int fd) {
    return closesocket(static_cast<SOCKET>(fd));
}
int PollSocket(pollfd* fd, int timeoutMs) {
    return WSAPoll(fd, 1, timeoutMs);
}
int NewSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    return static_cast<int>(socket(AF_INET, SOCK_STREAM, 0));
}
#else
constexpr int NoSigPipe = MSG_NOSIGNAL;
int CloseSocket(int fd) {
    return close(fd);
}
int PollSocket(pollfd* fd, int timeoutMs) {
    return poll(fd, 1, timeoutMs);
}
int NewSocket() {
    return socket(AF_INET, SOCK_STREAM, 0);
}
#endif

} // namespace

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

} // namespace

TRunningProgram::TRunningProgram(const std::string& program, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = QuoteArgument(program);
    for (const auto& a : args)
        commandLine += L" " + QuoteArgument(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    // A console of its own, so that Stop can send it Ctrl+C as a user at that console would.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                        nullptr, &startup, &info))
        throw std::runtime_error("CreateProcess failed for " + program);
    CloseHandle(info.hThread);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    m_process = info.hProcess;
    m_pid = static_cast<pid_t>(info.dwProcessId);
    m_outReader = std::thread([this, outRead] { Collect(outRead, m_output); });
    m_errReader = std::thread([this, errRead] { Collect(errRead, m_errors); });
}

TRunningProgram::~TRunningProgram() {
    if (!m_exited && m_process != nullptr) {
        TerminateProcess(m_process, 137);
        Wait(std::chrono::seconds(10));
    }
    if (m_outReader.joinable())
        m_outReader.join();
    if (m_errReader.joinable())
        m_errReader.join();
    if (m_process != nullptr)
        CloseHandle(m_process);
}

void TRunningProgram::Collect(void* pipe, std::string& target) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        target.append(buffer, n);
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
    return m_exitStatus;
}

// SIGINT and SIGTERM: Ctrl+C at the program's console; SIGKILL: the process is ended at once.
int TRunningProgram::Stop(int signal, std::chrono::milliseconds timeout) {
    if (!m_exited) {
        if (signal == SIGKILL) {
            TerminateProcess(m_process, 128 + SIGKILL);
        } else {
            static std::mutex consoleLock;
            std::lock_guard<std::mutex> guard(consoleLock);
            FreeConsole();
            if (AttachConsole(static_cast<DWORD>(m_pid))) {
                SetConsoleCtrlHandler(nullptr, TRUE); // the event reaches every process at the console
                GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
                FreeConsole();
            }
        }
    }
    return Wait(timeout);
}

#else

TRunningProgram::TRunningProgram(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe failed");
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
    m_outReader = std::thread([this, fd = out[0]] { Collect(fd, m_output); });
    m_errReader = std::thread([this, fd = err[0]] { Collect(fd, m_errors); });
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

void TRunningProgram::Collect(int fd, std::string& target) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(m_lock);
        target.append(buffer, static_cast<size_t>(n));
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

std::string TRunningProgram::Output() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output;
}

std::string TRunningProgram::Errors() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_errors;
}

std::string BuildProgram(const std::string& name) {
#ifdef _WIN32
    return std::string(DOORLOCK_BIN_DIR) + "/" + name + ".exe";
#else
    return std::string(DOORLOCK_BIN_DIR) + "/" + name;
#endif
}

int FreeTcpPort() {
    int fd = NewSocket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    CloseSocket(fd);
    return ntohs(addr.sin_port);
}

int ConnectTo(int port) {
    int fd = NewSocket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const std::string error = std::system_category().message(LastSocketError());
        CloseSocket(fd);
        throw std::runtime_error("connect failed: " + error);
    }
    return fd;
}

namespace {

// Reads until the peer closes or the timeout passes, keeping what arrives; true when the peer closed.
bool ReadUntilClosed(int fd, std::chrono::milliseconds timeout, std::string* received) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[32768];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{static_cast<decltype(pollfd::fd)>(fd), POLLIN, 0};
        if (PollSocket(&p, static_cast<int>(left.count())) <= 0)
            return false;
        const auto n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
        if (received != nullptr)
            received->append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

bool ClosedByPeer(int fd, std::chrono::milliseconds timeout) {
    bool closed = ReadUntilClosed(fd, timeout, nullptr);
    CloseSocket(fd);
    return closed;
}

std::string Exchange(int port, const std::string& bytes, bool* closed, std::chrono::milliseconds timeout) {
    int fd = ConnectTo(port);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = send(fd, bytes.data() + sent, static_cast<int>(bytes.size() - sent), NoSigPipe);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string response;
    bool peerClosed = ReadUntilClosed(fd, timeout, &response);
    if (closed != nullptr)
        *closed = peerClosed;
    CloseSocket(fd);
    return response;
}

std::string Request(int port, const std::string& request) {
    return Exchange(port, request + std::string(1, '\0'));
}

std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port) {
    std::unique_ptr<TRunningProgram> host;
    // A port picked free can be taken by someone else before the host binds it: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeTcpPort();
        WriteFileBytes(JoinFileName(dir, "Option.ini"), optionIni(port));
        host =
            std::make_unique<TRunningProgram>(program, std::vector<std::string>{"--headless", "--dir", dir});
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
        host->Stop(SIGKILL);
    }
    ADD_FAILURE() << program << " did not start: " << host->Errors();
    return nullptr;
}

std::string ReadLogFile(const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(FileSystemPath(dir))) {
        if (entry.path().extension() == ".LOG")
            return ReadFileBytes(FileNameOf(entry.path()));
    }
    return {};
}
