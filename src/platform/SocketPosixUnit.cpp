#include "platform/SocketSystemUnit.h"
#include "platform/SocketUnit.h"
#include "platform/SysUtilsUnit.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0; // SO_NOSIGPIPE is set on every socket instead
#endif

} // namespace

const int SocketErrorInvalid = EINVAL;
const int SocketErrorInterrupted = EINTR;
const int SocketErrorWouldBlock = EWOULDBLOCK;

bool SocketAddressInUse(int error) {
    return error == EADDRINUSE;
}

void EnsureSockets() {}

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

int CloseSocketHandle(TSocketHandle handle) {
    return ::close(handle);
}

long ReceiveOnce(TSocketHandle handle, char* data, size_t size) {
    return static_cast<long>(::recv(handle, data, size, 0));
}

long SendOnce(TSocketHandle handle, const char* data, size_t size) {
    return static_cast<long>(::send(handle, data, size, SendFlags));
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

void SetListenerAddressUse(TSocketHandle listener) {
    // Lets a restart bind while connections of the previous run sit in TIME_WAIT; a port held by another
    // listening socket still fails.
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

TSocketHandle AcceptOnce(TSocketHandle listener, sockaddr* from, socklen_t* fromLength) {
#if defined(__linux__)
    return ::accept4(listener, from, fromLength, SOCK_CLOEXEC);
#else
    return ::accept(listener, from, fromLength);
#endif
}

bool PrepareAccepted([[maybe_unused]] TSocketHandle handle) {
#if defined(SO_NOSIGPIPE)
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
#if !defined(__linux__)
    // Some systems hand down the listener's non-blocking mode (Linux never does).
    if (!SetBlocking(handle, true))
        return false;
#endif
    return true;
}

void RaiseResolveError(int status) {
    if (status == EAI_SYSTEM)
        throw Exception(SocketErrorMessage(errno));
    throw Exception("Socket Error # " + std::to_string(status) + "\r\n" + ::gai_strerror(status));
}

int LastSocketError() {
    return errno;
}

bool ReceiveTimedOut() {
#if EAGAIN == EWOULDBLOCK
    return LastSocketError() == EAGAIN;
#else
    const int error = LastSocketError();
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

std::string SocketErrorText(int error) {
    return std::system_category().message(error);
}

void TSocket::SetReceiveTimeout(int milliseconds) const {
    if (!Valid())
        return;
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
}

void TSocket::ShutdownSend() const {
    if (Valid())
        ::shutdown(m_handle, SHUT_WR);
}

void TSocket::ShutdownBoth() const {
    if (Valid())
        ::shutdown(m_handle, SHUT_RDWR);
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
