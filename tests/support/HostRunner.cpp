#include "support/HostRunner.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string BuildProgram(const std::string& name) {
    return std::string(DOORLOCK_BIN_DIR) + "/" + name;
}

std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port,
                                                   const TProgramOptions& options) {
    std::unique_ptr<TRunningProgram> host;
    // A port picked free can be taken by someone else before the host binds it: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeTcpPort();
        WriteFileBytes(dir + "/Option.ini", optionIni(port));
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
        host->Stop(SIGKILL);
    }
    throw std::runtime_error(program + " did not start: " + host->Errors());
}

std::unique_ptr<TRunningProgram> StartDoorlockHost(const std::string& program, const std::string& dir,
                                                   const std::string& doorlockOptions, int& port,
                                                   const std::string& sysOptions, bool blankCard,
                                                   const TProgramOptions& options) {
    if (blankCard)
        WriteFileBytes(dir + "/SimCard.bin", std::string(256, '\xFF'));
    return StartHeadlessHost(
        program, dir,
        [&](int listenPort) {
            return "[SysOption]\r\nDoorlockPortNo=" + std::to_string(listenPort) + "\r\n" + sysOptions +
                   "[DoorlockOption]\r\n" + doorlockOptions;
        },
        "门锁接口监听服务器已经启动...", port, options);
}

std::string ReadLogFile(const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".LOG")
            return ReadFileBytes(entry.path().string());
    }
    return {};
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
