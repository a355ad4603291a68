#include "platform/SocketUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using TIoSize = int;
constexpr int ErrorAddressInUse = WSAEADDRINUSE;
constexpr int ErrorInvalid = WSAEINVAL;
constexpr int ErrorInterrupted = WSAEINTR;
constexpr int ErrorWouldBlock = WSAEWOULDBLOCK;
constexpr int ShutSend = SD_SEND;
constexpr int ShutBoth = SD_BOTH;
constexpr int SendFlags = 0;

struct TWinsock {
    TWinsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~TWinsock() { WSACleanup(); }
};

void EnsureSockets() {
    static TWinsock winsock;
}
int CloseSocketHandle(TSocketHandle handle) {
    return closesocket(handle);
}
int PollOne(TSocketHandle handle, int timeoutMs) {
    WSAPOLLFD fd{};
    fd.fd = handle;
    fd.events = POLLRDNORM;
    return WSAPoll(&fd, 1, timeoutMs);
}
bool SetBlocking(TSocketHandle handle, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(handle, FIONBIO, &nonBlocking) == 0;
}
#else
using TIoSize = size_t;
constexpr int ErrorAddressInUse = EADDRINUSE;
constexpr int ErrorInvalid = EINVAL;
constexpr int ErrorInterrupted = EINTR;
constexpr int ErrorWouldBlock = EWOULDBLOCK;
constexpr int ShutSend = SHUT_WR;
constexpr int ShutBoth = SHUT_RDWR;
#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0; // SO_NOSIGPIPE is set on every socket instead
#endif

void EnsureSockets() {}
int CloseSocketHandle(TSocketHandle handle) {
    return ::close(handle);
}
int PollOne(TSocketHandle handle, int timeoutMs) {
    pollfd fd{};
    fd.fd = handle;
    fd.events = POLLIN;
    return ::poll(&fd, 1, timeoutMs);
}
bool SetBlocking(TSocketHandle handle, bool blocking) {
    int flags = ::fcntl(handle, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(handle, F_SETFL, flags) == 0;
}
#endif

// Sockets must not leak into programs the host starts, and a vanished peer must not raise SIGPIPE.
TSocketHandle NewSocket(int family) {
    EnsureSockets();
#if defined(SOCK_CLOEXEC)
    TSocketHandle handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
    TSocketHandle handle = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
#endif
#if defined(SO_NOSIGPIPE)
    if (handle != InvalidSocketHandle) {
        int on = 1;
        ::setsockopt(handle, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
    }
#endif
    return handle;
}

[[noreturn]] void RaiseSocketError(int error) {
    throw Exception(SocketErrorMessage(error));
}

[[noreturn]] void RaiseBindError(int error) {
#ifdef _WIN32
    // A port another program holds for its exclusive use refuses access rather than reporting it in use.
    if (error == WSAEACCES)
        error = ErrorAddressInUse;
#endif
    if (error == ErrorAddressInUse)
        throw Exception("Could not bind socket. Address and port are already in use.");
    RaiseSocketError(error);
}

} // namespace

int LastSocketError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

bool ReceiveTimedOut() {
#ifdef _WIN32
    return LastSocketError() == WSAETIMEDOUT;
#elif EAGAIN == EWOULDBLOCK
    return LastSocketError() == EAGAIN;
#else
    const int error = LastSocketError();
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

std::string SocketErrorText(int error) {
#ifdef _WIN32
    // The C++ runtime here knows no Winsock error (every one reads "Unknown error code"); the system does.
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (text != nullptr) {
        message.assign(reinterpret_cast<const char16_t*>(text), length);
        LocalFree(text);
    }
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' '))
        message.pop_back();
    if (message.empty())
        return "Error " + std::to_string(error);
    return Utf16ToGbk(message);
#else
    return std::system_category().message(error);
#endif
}

std::string SocketErrorMessage(int error) {
    return "Socket Error # " + std::to_string(error) + "\r\n" + SocketErrorText(error);
}

TSocket::TSocket(TSocket&& other) noexcept : m_handle(other.m_handle) {
    other.m_handle = InvalidSocketHandle;
}

TSocket& TSocket::operator=(TSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = other.m_handle;
        other.m_handle = InvalidSocketHandle;
    }
    return *this;
}

long TSocket::Receive(char* data, size_t size) const {
    if (!Valid())
        return -1;
    size = std::min<size_t>(size, INT_MAX);
    for (;;) {
        auto received = ::recv(m_handle, data, static_cast<TIoSize>(size), 0);
        if (received >= 0)
            return static_cast<long>(received);
        if (LastSocketError() != ErrorInterrupted)
            return -1;
    }
}

bool TSocket::SendAll(const char* data, size_t size) const {
    if (!Valid())
        return false;
    while (size > 0) {
        size_t piece = std::min<size_t>(size, INT_MAX);
        auto sent = ::send(m_handle, data, static_cast<TIoSize>(piece), SendFlags);
        if (sent < 0) {
            if (LastSocketError() == ErrorInterrupted)
                continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void TSocket::SetReceiveTimeout(int milliseconds) const {
    if (!Valid())
        return;
#ifdef _WIN32
    DWORD value = static_cast<DWORD>(milliseconds);
    ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof(value));
#else
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
#endif
}

int TSocket::WaitReadable(int timeoutMs) const {
    if (!Valid())
        return -1;
    const int ready = PollOne(m_handle, timeoutMs);
    if (ready < 0 && LastSocketError() == ErrorInterrupted)
        return 0;
    return ready;
}

void TSocket::ShutdownSend() const {
    if (Valid())
        ::shutdown(m_handle, ShutSend);
}

void TSocket::ShutdownBoth() const {
    if (!Valid())
        return;
    ::shutdown(m_handle, ShutBoth);
#ifdef _WIN32
    // A Winsock shut-down leaves a receive that is already waiting blocked; cancelling the socket's I/O
    // ends it (with an error) as the shut-down does elsewhere.
    CancelIoEx(reinterpret_cast<HANDLE>(m_handle), nullptr);
#endif
}

void TSocket::Close() {
    if (Valid()) {
        CloseSocketHandle(m_handle);
        m_handle = InvalidSocketHandle;
    }
}

int TSocket::LocalPort() const {
    if (!Valid())
        return 0;
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

bool ParseIpv4(std::string_view text, TIpv4& address) {
    TIpv4 value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.')
                return false;
            text.remove_prefix(1);
        }
        size_t digits = 0;
        unsigned number = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
            number = number * 10 + static_cast<unsigned>(text[digits++] - '0');
        if (digits == 0 || digits > 3 || number > 255 || (digits > 1 && text.front() == '0'))
            return false;
        text.remove_prefix(digits);
        value = (value << 8) | number;
    }
    if (!text.empty())
        return false;
    address = value;
    return true;
}

std::string Ipv4Text(TIpv4 address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool ParseIpv4Range(std::string_view text, TIpv4Range& range) {
    size_t slash = text.find('/');
    TIpv4 address = 0;
    if (!ParseIpv4(text.substr(0, slash), address))
        return false;
    unsigned bits = 32;
    if (slash != std::string_view::npos) {
        std::string_view length = text.substr(slash + 1);
        if (length.empty() || length.size() > 2 || (length.size() > 1 && length.front() == '0'))
            return false;
        bits = 0;
        for (char c : length) {
            if (c < '0' || c > '9')
                return false;
            bits = bits * 10 + static_cast<unsigned>(c - '0');
        }
        if (bits > 32)
            return false;
    }
    range.Mask = bits == 0 ? 0 : ~TIpv4{0} << (32 - bits);
    range.Network = address & range.Mask;
    return true;
}

TSocket ListenTcp(int port, int backlog, TIpv4 address) {
    // A port the socket calls would silently truncate is refused rather than listening somewhere else.
    if (port < 0 || port > 65535)
        RaiseSocketError(ErrorInvalid);

    TSocket listener(NewSocket(AF_INET));
    if (!listener.Valid())
        RaiseSocketError(LastSocketError());

#ifdef _WIN32
    // SO_REUSEADDR would let a second program take over the port; this keeps it ours alone (and a restart
    // still binds while old connections sit in TIME_WAIT).
    BOOL on = TRUE;
    ::setsockopt(listener.Handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof(on));
#else
    // Lets a restart bind while connections of the previous run sit in TIME_WAIT; a port held by another
    // listening socket still fails.
    int on = 1;
    ::setsockopt(listener.Handle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
#endif

    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(address);
    endpoint.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener.Handle(), reinterpret_cast<const sockaddr*>(&endpoint), sizeof(endpoint)) != 0)
        RaiseBindError(LastSocketError());
    // Two sockets with SO_REUSEADDR may both bind the port; the second then fails here.
    if (::listen(listener.Handle(), backlog) != 0)
        RaiseBindError(LastSocketError());
    // Accepting follows a readiness poll; a connection reset in between must not block the accept.
    if (!SetBlocking(listener.Handle(), false))
        RaiseSocketError(LastSocketError());
    return listener;
}

namespace {

// One accept: Accepted, TimedOut when none is waiting on a non-blocking listener, or Failed.
TAcceptResult AcceptWaiting(const TSocket& listener, TSocket& accepted, TIpv4* peer, int* peerPort) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    sockaddr* fromAddress = reinterpret_cast<sockaddr*>(&from);
#if defined(__linux__)
    TSocketHandle handle = ::accept4(listener.Handle(), fromAddress, &fromLength, SOCK_CLOEXEC);
#else
    TSocketHandle handle = ::accept(listener.Handle(), fromAddress, &fromLength);
#endif
    if (handle == InvalidSocketHandle) {
        int error = LastSocketError();
        return error == ErrorWouldBlock || error == ErrorInterrupted ? TAcceptResult::TimedOut
                                                                     : TAcceptResult::Failed;
    }
    TSocket socket(handle);
#if defined(SO_NOSIGPIPE)
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
#if !defined(__linux__)
    // Some systems hand down the listener's non-blocking mode (Linux never does).
    if (!SetBlocking(handle, true))
        return TAcceptResult::Failed;
#endif
    accepted = std::move(socket);
    if (peer != nullptr)
        *peer = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    if (peerPort != nullptr)
        *peerPort = from.sin_family == AF_INET ? ntohs(from.sin_port) : 0;
    return TAcceptResult::Accepted;
}

} // namespace

TAcceptResult AcceptTcp(const TSocket& listener, int timeoutMs, TSocket& accepted, TIpv4* peer,
                        int* peerPort) {
    if (!listener.Valid())
        return TAcceptResult::Failed;
    // A busy listener has connections waiting: take one without asking first.
    TAcceptResult result = AcceptWaiting(listener, accepted, peer, peerPort);
    if (result != TAcceptResult::TimedOut)
        return result;
    int ready = PollOne(listener.Handle(), timeoutMs);
    if (ready == 0)
        return TAcceptResult::TimedOut;
    if (ready < 0)
        return LastSocketError() == ErrorInterrupted ? TAcceptResult::TimedOut : TAcceptResult::Failed;
    return AcceptWaiting(listener, accepted, peer, peerPort);
}

bool WaitInAccept(const TSocket& listener, int timeoutMs) {
#if defined(__linux__)
    // The receive time-out limits an accept's wait as well.
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return listener.Valid() &&
           ::setsockopt(listener.Handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0 &&
           SetBlocking(listener.Handle(), true);
#else
    (void)listener, (void)timeoutMs;
    return false;
#endif
}

TSocket ConnectTcp(const std::string& host, int port) {
    EnsureSockets();
    if (port < 0 || port > 65535)
        RaiseSocketError(ErrorInvalid);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
#ifdef _WIN32
        RaiseSocketError(status);
#else
        if (status == EAI_SYSTEM)
            RaiseSocketError(errno);
        throw Exception("Socket Error # " + std::to_string(status) + "\r\n" + ::gai_strerror(status));
#endif
    }
    int error = ErrorInvalid;
    TSocket connected;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        TSocket candidate(NewSocket(entry->ai_family));
        if (!candidate.Valid()) {
            error = LastSocketError();
            continue;
        }
        if (::connect(candidate.Handle(), entry->ai_addr, static_cast<socklen_t>(entry->ai_addrlen)) == 0) {
            connected = std::move(candidate);
            break;
        }
        error = LastSocketError();
    }
    ::freeaddrinfo(found);
    if (!connected.Valid())
        RaiseSocketError(error);
    return connected;
}
