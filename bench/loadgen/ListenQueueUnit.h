#pragma once

#include <optional>

// The accept queue of a TCP listener on this machine (IPv4, this network namespace), read through the
// kernel's socket diagnostics as ss reads it: connections whose handshake is done that wait for accept(),
// and how many the queue holds. While queued exceeds backlog, the kernel drops every SYN to the port and
// the client sends it again only a second later, then two, four... after that.
struct TListenQueue {
    int queued = 0;
    int backlog = 0;
};

class TListenQueueProbe {
public:
    TListenQueueProbe();
    ~TListenQueueProbe();
    TListenQueueProbe(const TListenQueueProbe&) = delete;
    TListenQueueProbe& operator=(const TListenQueueProbe&) = delete;

    // The queue of the listener on port; none when no such listener was found or the kernel would not say.
    std::optional<TListenQueue> Read(int port);

private:
    int m_socket = -1;
    unsigned m_sequence = 0;
};

// Connects a flood may start now: its window less those in flight, and, when the listener's queue is known,
// no more than leave reserve places of the queue free once every connect in flight has landed in it (so that
// the flood's SYNs are not dropped, nor those of a client being timed beside it); at most half the places of
// a queue so short that the reserve would leave the flood none.
int ConnectRoom(int window, int connecting, const std::optional<TListenQueue>& queue, int reserve);
