#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A thin layer over the BSD socket calls (Winsock has the same ones), owning each handle.

#ifdef _WIN32
using TSocketHandle = uintptr_t; // SOCKET
inline constexpr TSocketHandle InvalidSocketHandle = ~static_cast<uintptr_t>(0);
#else
using TSocketHandle = int;
inline constexpr TSocketHandle InvalidSocketHandle = -1;
#endif

class TSocket {
public:
    TSocket() = default;
    explicit TSocket(TSocketHandle handle) : m_handle(handle) {}
    ~TSocket() { Close(); }
    TSocket(TSocket&& other) noexcept;
    TSocket& operator=(TSocket&& other) noexcept;
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    bool Valid() const { return m_handle != InvalidSocketHandle; }
    TSocketHandle Handle() const { return m_handle; }

    // Up to size bytes: the count, 0 when the peer closed its side, -1 on an error (or a receive time-out).
    long Receive(char* data, size_t size) const;
    // Every byte, in as many sends as it takes; false when the peer is gone or the socket failed. A peer that
    // went away never raises SIGPIPE.
    bool SendAll(const char* data, size_t size) const;
    // 0 waits without limit.
    void SetReceiveTimeout(int milliseconds) const;
    // Waits at most timeoutMs for bytes to read: > 0 when a receive will not block (bytes, the peer's close,
    // a shut-down or an error), 0 when the time ran out or a signal came first, < 0 on an error.
    int WaitReadable(int timeoutMs) const;

    // A shut-down wakes a thread blocked in a receive on the same socket; closing under its feet would not
    // (and the handle number could be reused at once).
    void ShutdownSend() const;
    void ShutdownBoth() const;
    void Close();
    // Gives the handle up to the caller, who closes it.
    TSocketHandle Release() {
        const TSocketHandle handle = m_handle;
        m_handle = InvalidSocketHandle;
        return handle;
    }

    // The local port, 0 when unknown.
    int LocalPort() const;

private:
    TSocketHandle m_handle = InvalidSocketHandle;
};

// IPv4 addresses in host byte order; 0 is every local address.
using TIpv4 = uint32_t;

// Exactly four decimal parts 0-255 without leading zeros ("010" would read as octal elsewhere).
bool ParseIpv4(std::string_view text, TIpv4& address);
std::string Ipv4Text(TIpv4 address);

// An address ("a.b.c.d", all 32 bits) or a CIDR range ("a.b.c.d/n", n 0-32; host bits are ignored).
struct TIpv4Range {
    TIpv4 Network = 0;
    TIpv4 Mask = 0;
    bool Contains(TIpv4 address) const { return (address & Mask) == Network; }
};
bool ParseIpv4Range(std::string_view text, TIpv4Range& range);

// A listening TCP socket on one local IPv4 address (0: every one). Raises Exception "Could not bind socket.
// Address and port are already in use." when the port is taken, otherwise "Socket Error # %d\r\n%s" (an
// address that is not the machine's gives the system's "cannot assign" error).
TSocket ListenTcp(int port, int backlog, TIpv4 address = 0);

enum class TAcceptResult { Accepted, TimedOut, Failed };

// Waits at most timeoutMs for a connection (on a listener made to wait in the kernel: the time set there);
// the accepted socket is blocking. peer and peerPort receive the client's IPv4 address and port.
TAcceptResult AcceptTcp(const TSocket& listener, int timeoutMs, TSocket& accepted, TIpv4* peer = nullptr,
                        int* peerPort = nullptr);

// Where a shut-down of the listener (ShutdownBoth) wakes every thread waiting in its accept (Linux): makes
// its accepts wait in the kernel for at most timeoutMs, so that several threads can wait in them at once and
// a connection wakes only one of them, at the cost of one call. The accepted sockets inherit the time-out as
// their receive time-out. False elsewhere: nothing changes.
bool WaitInAccept(const TSocket& listener, int timeoutMs);

// Connects to host (name or dotted address) and port. Raises Exception "Socket Error # %d\r\n%s".
TSocket ConnectTcp(const std::string& host, int port);

// The socket error of the calling thread's last failed call, and the system's text for an error number.
int LastSocketError();
// The calling thread's last Receive failed because the socket's receive time-out ran out.
bool ReceiveTimedOut();
std::string SocketErrorText(int error);
// "Socket Error # %d\r\n%s"
std::string SocketErrorMessage(int error);
