#pragma once

#include "platform/SocketUnit.h"

#include <atomic>
#include <cstddef>
#include <unordered_map>

// A listener's live connections, in all and per client address, and how many of them have had their answer:
// only those still waiting for one count against the caps, since a client may connect again as soon as it
// has its answer, before the serving thread has closed the old connection. Changed under the listener's
// lock, except Answered, which a connection's own thread calls once, when its answer goes out.
class TConnectionCounts {
public:
    struct TSlot {
        size_t live = 0;
        std::atomic<size_t> answered{0};
    };

    // A new live connection from peer; the slot stays valid until that connection is removed.
    TSlot& Add(TIpv4 peer);
    void Answered(TSlot& slot) {
        ++slot.answered;
        ++m_answered;
    }
    void Remove(TIpv4 peer, bool answered);

    // Live and not yet answered: in all, and from one address.
    size_t Waiting() const { return m_live - m_answered; }
    size_t Waiting(TIpv4 peer) const;

private:
    std::unordered_map<TIpv4, TSlot> m_slots; // nodes stay put, so a slot outlives rehashing
    size_t m_live = 0;
    std::atomic<size_t> m_answered{0};
};
