#include "platform/CodePageUnit.h"
#include "platform/SocketSystemUnit.h"
#include "platform/SocketUnit.h"
#include "platform/SysUtilsUnit.h"

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace {

struct TWinsock {
    TWinsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~TWinsock() { WSACleanup(); }
};

} // namespace

const int SocketErrorInvalid = WSAEINVAL;
const int SocketErrorInterrupted = WSAEINTR;
const int SocketErrorWouldBlock = WSAEWOULDBLOCK;

bool SocketAddressInUse(int error) {
    // A port another program holds for its exclusive use refuses access rather than reporting it in use.
    return error == WSAEADDRINUSE || error == WSAEACCES;
}

void EnsureSockets() {
    static TWinsock winsock;
}

TSocketHandle NewSocket(int family) {
    EnsureSockets();
    return ::socket(family, SOCK_STREAM, IPPROTO_TCP);
}

int CloseSocketHandle(TSocketHandle handle) {
    return closesocket(handle);
}

long ReceiveOnce(TSocketHandle handle, char* data, size_t size) {
    return ::recv(handle, data, static_cast<int>(size), 0);
}

long SendOnce(TSocketHandle handle, const char* data, size_t size) {
    return ::send(handle, data, static_cast<int>(size), 0);
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

void SetListenerAddressUse(TSocketHandle listener) {
    // SO_REUSEADDR would let a second program take over the port; this keeps it ours alone (and a restart
    // still binds while old connections sit in TIME_WAIT).
    BOOL on = TRUE;
    ::setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
}

TSocketHandle AcceptOnce(TSocketHandle listener, sockaddr* from, socklen_t* fromLength) {
    return ::accept(listener, from, fromLength);
}

bool PrepareAccepted(TSocketHandle handle) {
    // Some systems hand down the listener's non-blocking mode (Linux never does).
    return SetBlocking(handle, true);
}

void RaiseResolveError(int status) {
    throw Exception(SocketErrorMessage(status));
}

int LastSocketError() {
    return WSAGetLastError();
}

bool ReceiveTimedOut() {
    return LastSocketError() == WSAETIMEDOUT;
}

std::string SocketErrorText(int error) {
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
}

void TSocket::SetReceiveTimeout(int milliseconds) const {
    if (!Valid())
        return;
    DWORD value = static_cast<DWORD>(milliseconds);
    ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof(value));
}

void TSocket::ShutdownSend() const {
    if (Valid())
        ::shutdown(m_handle, SD_SEND);
}

void TSocket::ShutdownBoth() const {
    if (!Valid())
        return;
    ::shutdown(m_handle, SD_BOTH);
    // A Winsock shut-down leaves a receive that is already waiting blocked; cancelling the socket's I/O
    // ends it (with an error) as the shut-down does elsewhere.
    CancelIoEx(reinterpret_cast<HANDLE>(m_handle), nullptr);
}

bool WaitInAccept(const TSocket& listener, int timeoutMs) {
    (void)listener, (void)timeoutMs;
    return false;
}
