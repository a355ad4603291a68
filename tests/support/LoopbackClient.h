#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();

// How a read to the peer's close ended.
enum class TReadEnd {
    Closed,   // orderly close
    Reset,    // the peer closed with bytes of ours left unread
    TimedOut, // the deadline passed first
    Failed,   // any other error (see Error())
};

// One client connection to a local listener, as a hotel system makes it: connect, send, read until the
// server closes. The load generator runs it once per request, so it costs the same system calls as a bare
// socket (socket, two timeouts, connect, send, recv to the end, close) and allocates nothing of its own.
class TLoopbackClient {
public:
    // timeout bounds the connect, each send and a read to the close.
    explicit TLoopbackClient(std::chrono::milliseconds timeout = std::chrono::seconds(30))
        : m_timeout(timeout) {}
    ~TLoopbackClient() { Close(); }
    TLoopbackClient(TLoopbackClient&& other) noexcept;
    TLoopbackClient& operator=(TLoopbackClient&& other) noexcept;
    TLoopbackClient(const TLoopbackClient&) = delete;
    TLoopbackClient& operator=(const TLoopbackClient&) = delete;

    // Connects to address:port (127.0.0.1 when null) from the local address from (the system's choice when
    // null); false with Error() set when it fails.
    bool Connect(int port, const char* address = nullptr, const char* from = nullptr);
    // Sends every byte (several calls send a request in parts); false with Error() set when it fails.
    bool Send(std::string_view bytes);
    // Reads until the peer closes or the timeout passes, appending to into (when given) at most keep bytes
    // in all; the rest is read and dropped.
    TReadEnd ReadToClose(std::string* into = nullptr, size_t keep = std::string::npos) {
        return ReadToClose(m_timeout, into, keep);
    }
    TReadEnd ReadToClose(std::chrono::milliseconds timeout, std::string* into = nullptr,
                         size_t keep = std::string::npos);
    // True when the peer has sent something or closed: a held connection that is still idle has not.
    bool HasInput() const;
    void Close();

    bool Connected() const { return m_fd >= 0; }
    int Error() const { return m_error; } // errno of the last failure
    std::string ErrorText() const;

private:
    bool Fail(int error);
    void ArmReceive(std::chrono::nanoseconds timeout);

    std::chrono::milliseconds m_timeout;
    std::chrono::nanoseconds m_armed{0}; // the receive timeout the socket has
    int m_fd = -1;
    int m_error = 0;
};

// Connects to 127.0.0.1:port, sends the bytes and reads until the server closes: what arrived. "closed" is
// true when the server closed (or reset), false on time-out. Raises when it cannot connect.
std::string Exchange(int port, std::string_view bytes, bool* closed = nullptr,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
// The same on a connected client, which it closes.
std::string Exchange(TLoopbackClient client, std::string_view bytes, bool* closed = nullptr);
// A connected client; raises when it cannot connect (see TLoopbackClient::Connect).
TLoopbackClient Connected(int port, const char* address = nullptr, const char* from = nullptr);
// A request as a client sends it: the bytes followed by one NUL.
std::string Request(int port, const std::string& request);

// The IPv4 TCP sockets of a port, from /proc/net/tcp. The host's side: connections established (accepted or
// waiting in the accept queue), connections whose client has closed but the host has not, the listening
// socket's accept queue and connections in TIME_WAIT; and the clients' connections in TIME_WAIT.
struct TPortSockets {
    int established = 0;
    int closeWait = 0;
    int acceptQueue = 0;
    int timeWait = 0;
    int clientTimeWait = 0;
};
TPortSockets PortSockets(int port);
// Whether PortSockets can tell (Linux only).
inline bool HasPortSockets() {
#ifdef __linux__
    return true;
#else
    return false;
#endif
}
