#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using Clock = std::chrono::steady_clock;

namespace {

// The few places where Winsock differs: its own error numbers, millisecond timeouts, closesocket.
#ifdef _WIN32
constexpr int ErrInterrupted = WSAEINTR;
constexpr int ErrInvalid = WSAEINVAL;
constexpr int ErrInProgress = WSAEWOULDBLOCK;
constexpr int ErrWouldBlock = WSAEWOULDBLOCK;
constexpr int ErrTimedOut = WSAETIMEDOUT;
constexpr int ErrReset = WSAECONNRESET;
constexpr int NoSigPipe = 0;
int LastError() {
    return WSAGetLastError();
}
int NewSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    const SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    return handle == INVALID_SOCKET ? -1 : static_cast<int>(handle);
}
void CloseSocket(int fd) {
    closesocket(static_cast<SOCKET>(fd));
}
void SetTimeout(int fd, int option, std::chrono::nanoseconds timeout) {
    // Zero would mean "no timeout" to the socket.
    const DWORD millis = static_cast<DWORD>(
        std::max<long long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()));
    setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, option, reinterpret_cast<const char*>(&millis),
               sizeof millis);
}
int PollNow(pollfd* p) {
    return WSAPoll(p, 1, 0);
}
#else
constexpr int ErrInterrupted = EINTR;
constexpr int ErrInvalid = EINVAL;
constexpr int ErrInProgress = EINPROGRESS;
constexpr int ErrWouldBlock = EAGAIN;
constexpr int ErrTimedOut = ETIMEDOUT;
constexpr int ErrReset = ECONNRESET;
constexpr int NoSigPipe = MSG_NOSIGNAL;
int LastError() {
    return errno;
}
int NewSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
void CloseSocket(int fd) {
    close(fd);
}
void SetTimeout(int fd, int option, std::chrono::nanoseconds timeout) {
    // Zero would mean "no timeout" to the socket.
    const long long micros =
        std::max<long long>(1, std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    const timeval value{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}
int PollNow(pollfd* p) {
    return poll(p, 1, 0);
}
#endif

bool ToAddress(const char* text, int port, sockaddr_in& address) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (text == nullptr) {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return true;
    }
    return inet_pton(AF_INET, text, &address.sin_addr) == 1;
}

} // namespace

// Below the range that Linux (32768 up) and Windows (49152 up) hand out to outgoing connections, so that no
// test's clients take the port between this check and the host's bind; the system's choice as a last resort.
int FreeTcpPort() {
    constexpr int first = 20000, last = 32767;
    thread_local std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt <= 100; ++attempt) {
        const int port = attempt < 100 ? std::uniform_int_distribution<int>(first, last)(random) : 0;
        const int fd = NewSocket();
        sockaddr_in address{};
        ToAddress(nullptr, port, address);
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        socklen_t length = sizeof address;
        if (bound)
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        CloseSocket(fd);
        if (bound)
            return ntohs(address.sin_port);
    }
    throw std::runtime_error("no free TCP port");
}

TLoopbackClient::TLoopbackClient(TLoopbackClient&& other) noexcept
    : m_timeout(other.m_timeout), m_armed(other.m_armed), m_fd(other.m_fd), m_error(other.m_error) {
    other.m_fd = -1;
}

TLoopbackClient& TLoopbackClient::operator=(TLoopbackClient&& other) noexcept {
    if (this != &other) {
        Close();
        m_timeout = other.m_timeout;
        m_armed = other.m_armed;
        m_fd = other.m_fd;
        m_error = other.m_error;
        other.m_fd = -1;
    }
    return *this;
}

bool TLoopbackClient::Fail(int error) {
    m_error = error;
    return false;
}

std::string TLoopbackClient::ErrorText() const {
#ifdef _WIN32
    return "Winsock error " + std::to_string(m_error);
#else
    return std::strerror(m_error);
#endif
}

void TLoopbackClient::ArmReceive(std::chrono::nanoseconds timeout) {
    SetTimeout(m_fd, SO_RCVTIMEO, timeout);
    m_armed = timeout;
}

bool TLoopbackClient::Connect(int port, const char* address, const char* from) {
    Close();
    sockaddr_in remote{};
    sockaddr_in local{};
    if (!ToAddress(address, port, remote) || (from != nullptr && !ToAddress(from, 0, local)))
        return Fail(ErrInvalid);
    m_fd = NewSocket();
    if (m_fd < 0)
        return Fail(LastError());
    m_armed = std::chrono::nanoseconds(0);
    if (m_timeout.count() > 0) {
        // The send timeout bounds the connect as well.
        SetTimeout(m_fd, SO_SNDTIMEO, m_timeout);
        ArmReceive(m_timeout);
    }
    if (from != nullptr && bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = LastError();
        Close();
        return Fail(error);
    }
    while (connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        const int failure = LastError();
        if (failure == ErrInterrupted)
            continue;
        const int error = failure == ErrInProgress ? ErrTimedOut : failure;
        Close();
        return Fail(error);
    }
    return true;
}

bool TLoopbackClient::Send(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = send(m_fd, bytes.data() + sent, static_cast<int>(bytes.size() - sent), NoSigPipe);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int failure = n < 0 ? LastError() : 0;
        if (failure == ErrInterrupted)
            continue;
        return Fail(n == 0 || failure == ErrWouldBlock ? ErrTimedOut : failure);
    }
    return true;
}

TReadEnd TLoopbackClient::ReadToClose(std::chrono::milliseconds timeout, std::string* into, size_t keep) {
    const auto deadline = Clock::now() + timeout;
    char buffer[16384];
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left.count() <= 0) {
            m_error = ErrTimedOut;
            return TReadEnd::TimedOut;
        }
        // A receive timeout up to an eighth longer than the time left stays: re-arming it for every read
        // would cost a system call per read.
        if (m_armed.count() == 0 || left > m_armed || m_armed - left > left / 8)
            ArmReceive(left);
        const auto n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (into != nullptr && into->size() < keep)
                into->append(buffer, std::min(static_cast<size_t>(n), keep - into->size()));
            continue;
        }
        if (n == 0)
            return TReadEnd::Closed;
        const int failure = LastError();
        if (failure == ErrInterrupted)
            continue;
        // The receive timeout ran out (EWOULDBLOCK is EAGAIN here; Winsock says WSAETIMEDOUT).
        if (failure == ErrWouldBlock || failure == ErrTimedOut) {
            m_error = ErrTimedOut;
            return TReadEnd::TimedOut;
        }
        m_error = failure;
        return failure == ErrReset ? TReadEnd::Reset : TReadEnd::Failed;
    }
}

bool TLoopbackClient::HasInput() const {
    pollfd p{static_cast<decltype(pollfd::fd)>(m_fd), POLLIN, 0};
    return PollNow(&p) != 0;
}

void TLoopbackClient::Close() {
    if (m_fd >= 0)
        CloseSocket(m_fd);
    m_fd = -1;
}

TLoopbackClient Connected(int port, const char* address, const char* from) {
    TLoopbackClient client;
    if (!client.Connect(port, address, from))
        throw std::runtime_error("connect to port " + std::to_string(port) +
                                 " failed: " + client.ErrorText());
    return client;
}

std::string Exchange(TLoopbackClient client, std::string_view bytes, bool* closed) {
    // A server that refuses the request may close before all of it is sent: its answer is read all the same.
    client.Send(bytes);
    std::string response;
    const TReadEnd end = client.ReadToClose(&response);
    if (closed != nullptr)
        *closed = end == TReadEnd::Closed || end == TReadEnd::Reset;
    return response;
}

std::string Exchange(int port, std::string_view bytes, bool* closed, std::chrono::milliseconds timeout) {
    TLoopbackClient client(timeout);
    if (!client.Connect(port))
        throw std::runtime_error("connect to port " + std::to_string(port) +
                                 " failed: " + client.ErrorText());
    return Exchange(std::move(client), bytes, closed);
}

std::string Request(int port, const std::string& request) {
    return Exchange(port, Framed(request));
}

TPortSockets PortSockets(int port) {
    TPortSockets sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        // "sl local_address rem_address st tx_queue:rx_queue ..." with addresses as hex IP:port.
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        auto portOf = [](const std::string& endpoint) {
            const size_t colon = endpoint.find(':');
            return colon == std::string::npos ? -1 : std::stoi(endpoint.substr(colon + 1), nullptr, 16);
        };
        if (portOf(local) == port) {
            if (state == "01")
                ++sockets.established;
            else if (state == "08")
                ++sockets.closeWait;
            else if (state == "06")
                ++sockets.timeWait;
            else if (state == "0A")
                sockets.acceptQueue += std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
        } else if (portOf(remote) == port && state == "06") {
            ++sockets.clientTimeWait;
        }
    }
    return sockets;
}
