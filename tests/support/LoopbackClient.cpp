#include "support/LoopbackClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

using Clock = std::chrono::steady_clock;

namespace {

timeval ToTimeval(std::chrono::nanoseconds timeout) {
    // Zero would mean "no timeout" to the socket.
    const long long micros =
        std::max<long long>(1, std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    return timeval{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

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

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    ToAddress(nullptr, 0, address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
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
    return std::strerror(m_error);
}

void TLoopbackClient::ArmReceive(std::chrono::nanoseconds timeout) {
    const timeval value = ToTimeval(timeout);
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    m_armed = timeout;
}

bool TLoopbackClient::Connect(int port, const char* address, const char* from) {
    Close();
    sockaddr_in remote{};
    sockaddr_in local{};
    if (!ToAddress(address, port, remote) || (from != nullptr && !ToAddress(from, 0, local)))
        return Fail(EINVAL);
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return Fail(errno);
    m_armed = std::chrono::nanoseconds(0);
    if (m_timeout.count() > 0) {
        // The send timeout bounds the connect as well.
        const timeval value = ToTimeval(m_timeout);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
        ArmReceive(m_timeout);
    }
    if (from != nullptr && bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        Close();
        return Fail(error);
    }
    while (connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno == EINTR)
            continue;
        const int error = errno == EINPROGRESS ? ETIMEDOUT : errno;
        Close();
        return Fail(error);
    }
    return true;
}

bool TLoopbackClient::Send(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return Fail(n == 0 || errno == EAGAIN ? ETIMEDOUT : errno);
    }
    return true;
}

TReadEnd TLoopbackClient::ReadToClose(std::chrono::milliseconds timeout, std::string* into, size_t keep) {
    const auto deadline = Clock::now() + timeout;
    char buffer[16384];
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left.count() <= 0) {
            m_error = ETIMEDOUT;
            return TReadEnd::TimedOut;
        }
        // A receive timeout up to an eighth longer than the time left stays: re-arming it for every read
        // would cost a system call per read.
        if (m_armed.count() == 0 || left > m_armed || m_armed - left > left / 8)
            ArmReceive(left);
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (into != nullptr && into->size() < keep)
                into->append(buffer, std::min(static_cast<size_t>(n), keep - into->size()));
            continue;
        }
        if (n == 0)
            return TReadEnd::Closed;
        if (errno == EINTR)
            continue;
        // The receive timeout ran out (EWOULDBLOCK is the same value here).
        if (errno == EAGAIN) {
            m_error = ETIMEDOUT;
            return TReadEnd::TimedOut;
        }
        m_error = errno;
        return errno == ECONNRESET ? TReadEnd::Reset : TReadEnd::Failed;
    }
}

bool TLoopbackClient::HasInput() const {
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;
}

void TLoopbackClient::Close() {
    if (m_fd >= 0)
        close(m_fd);
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
    return Exchange(port, request + std::string(1, '\0'));
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
