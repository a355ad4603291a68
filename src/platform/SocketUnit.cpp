#include "platform/SocketUnit.h"

#include "platform/SocketSystemUnit.h"
#include "platform/SysUtilsUnit.h"

#include <algorithm>
#include <climits>

namespace {

[[noreturn]] void RaiseSocketError(int error) {
    throw Exception(SocketErrorMessage(error));
}

[[noreturn]] void RaiseBindError(int error) {
    if (SocketAddressInUse(error))
        throw Exception("Could not bind socket. Address and port are already in use.");
    RaiseSocketError(error);
}

} // namespace

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
        long received = ReceiveOnce(m_handle, data, size);
        if (received >= 0)
            return received;
        if (LastSocketError() != SocketErrorInterrupted)
            return -1;
    }
}

bool TSocket::SendAll(const char* data, size_t size) const {
    if (!Valid())
        return false;
    while (size > 0) {
        size_t piece = std::min<size_t>(size, INT_MAX);
        long sent = SendOnce(m_handle, data, piece);
        if (sent < 0) {
            if (LastSocketError() == SocketErrorInterrupted)
                continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

int TSocket::WaitReadable(int timeoutMs) const {
    if (!Valid())
        return -1;
    const int ready = PollOne(m_handle, timeoutMs);
    if (ready < 0 && LastSocketError() == SocketErrorInterrupted)
        return 0;
    return ready;
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
        RaiseSocketError(SocketErrorInvalid);

    TSocket listener(NewSocket(AF_INET));
    if (!listener.Valid())
        RaiseSocketError(LastSocketError());

    SetListenerAddressUse(listener.Handle());

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
    TSocketHandle handle = AcceptOnce(listener.Handle(), fromAddress, &fromLength);
    if (handle == InvalidSocketHandle) {
        int error = LastSocketError();
        return error == SocketErrorWouldBlock || error == SocketErrorInterrupted ? TAcceptResult::TimedOut
                                                                                 : TAcceptResult::Failed;
    }
    TSocket socket(handle);
    if (!PrepareAccepted(handle))
        return TAcceptResult::Failed;
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
        return LastSocketError() == SocketErrorInterrupted ? TAcceptResult::TimedOut : TAcceptResult::Failed;
    return AcceptWaiting(listener, accepted, peer, peerPort);
}

TSocket ConnectTcp(const std::string& host, int port) {
    EnsureSockets();
    if (port < 0 || port > 65535)
        RaiseSocketError(SocketErrorInvalid);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0)
        RaiseResolveError(status);
    int error = SocketErrorInvalid;
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
