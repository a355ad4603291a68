#include "support/HostRunner.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

TRunningProgram::TRunningProgram(const std::string& program, const std::vector<std::string>& args,
                                 bool firstLineOnly) {
    int out[2];
    int err[2];
    // Close-on-exec, so that a program started at the same time by another thread does not hold our pipes
    // open (dup2 clears it on the child's own ends).
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
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
    m_outReader = std::thread([this, fd = out[0], firstLineOnly] { Collect(fd, m_output, firstLineOnly); });
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

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int ConnectTo(int port, const std::string& address, const std::string& from) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    auto endpoint = [](const std::string& text, int endpointPort) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(endpointPort));
        if (inet_pton(AF_INET, text.c_str(), &addr.sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + text);
        return addr;
    };
    auto fail = [fd](const char* what) {
        int error = errno;
        close(fd);
        throw std::runtime_error(std::string(what) + " failed: " + std::strerror(error));
    };
    if (!from.empty()) {
        sockaddr_in local = endpoint(from, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            fail("bind");
    }
    sockaddr_in remote = endpoint(address, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        fail("connect");
    return fd;
}

TPortSockets ServerSockets(int port) {
    TPortSockets sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        // "sl local_address rem_address st tx_queue:rx_queue ..." with addresses as hex IP:port.
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        size_t colon = local.find(':');
        if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
            continue;
        if (state == "01")
            ++sockets.established;
        else if (state == "08")
            ++sockets.closeWait;
        else if (state == "0A")
            sockets.acceptQueue += std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return sockets;
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
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
        if (received != nullptr)
            received->append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

bool ClosedByPeer(int fd, std::chrono::milliseconds timeout) {
    bool closed = ReadUntilClosed(fd, timeout, nullptr);
    close(fd);
    return closed;
}

std::string Exchange(int port, const std::string& bytes, bool* closed, std::chrono::milliseconds timeout) {
    return ExchangeOn(ConnectTo(port), bytes, closed, timeout);
}

std::string ExchangeOn(int fd, const std::string& bytes, bool* closed, std::chrono::milliseconds timeout) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string response;
    bool peerClosed = ReadUntilClosed(fd, timeout, &response);
    if (closed != nullptr)
        *closed = peerClosed;
    close(fd);
    return response;
}

std::string Request(int port, const std::string& request) {
    return Exchange(port, request + std::string(1, '\0'));
}

std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port,
                                                   bool firstLineOnly) {
    std::unique_ptr<TRunningProgram> host;
    // A port picked free can be taken by someone else before the host binds it: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeTcpPort();
        WriteFileBytes(dir + "/Option.ini", optionIni(port));
        host = std::make_unique<TRunningProgram>(
            program, std::vector<std::string>{"--headless", "--dir", dir}, firstLineOnly);
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
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".LOG")
            return ReadFileBytes(entry.path().string());
    }
    return {};
}
