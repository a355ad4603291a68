#include "ListenQueueUnit.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

TListenQueueProbe::TListenQueueProbe()
    : m_socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

TListenQueueProbe::~TListenQueueProbe() {
    if (m_socket >= 0)
        ::close(m_socket);
}

std::optional<TListenQueue> TListenQueueProbe::Read(int port) {
    if (m_socket < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = ++m_sequence;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    // The kernel skips listeners of other ports itself; the port is checked again below all the same.
    message.request.id.idiag_sport = htons(static_cast<uint16_t>(port));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_socket, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<long>(sizeof message))
        return std::nullopt;

    std::optional<TListenQueue> found;
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const long length = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return std::nullopt;
        int remaining = static_cast<int>(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != m_sequence)
                continue; // the tail of an earlier answer
            if (header->nlmsg_type == NLMSG_DONE)
                return found;
            if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                return std::nullopt;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (socket->idiag_state != TCP_LISTEN || ntohs(socket->id.idiag_sport) != port)
                continue;
            // Listeners sharing the port (SO_REUSEPORT) each have a queue; the SYN goes to one of them.
            TListenQueue queue{static_cast<int>(socket->idiag_rqueue),
                               static_cast<int>(socket->idiag_wqueue)};
            if (!found || queue.backlog - queue.queued < found->backlog - found->queued)
                found = queue;
        }
    }
}

int ConnectRoom(int window, int connecting, const std::optional<TListenQueue>& queue, int reserve) {
    int room = window - connecting;
    if (queue) {
        // The kernel takes a SYN while the queue holds no more than backlog: one more than it says. A short
        // queue keeps half of that for the flood, so that the flood moves at all.
        const int holds = queue->backlog + 1;
        room = std::min(room, holds - std::min(reserve, holds / 2) - queue->queued - connecting);
    }
    return std::max(room, 0);
}
