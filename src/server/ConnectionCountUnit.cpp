#include "server/ConnectionCountUnit.h"

TConnectionCounts::TSlot& TConnectionCounts::Add(TIpv4 peer) {
    TSlot& slot = m_slots[peer];
    ++slot.live;
    ++m_live;
    return slot;
}

void TConnectionCounts::Remove(TIpv4 peer, bool answered) {
    auto found = m_slots.find(peer);
    if (found == m_slots.end())
        return;
    --m_live;
    if (answered) {
        --m_answered;
        --found->second.answered;
    }
    // An address is forgotten with its last connection, so a scan leaves nothing behind.
    if (--found->second.live == 0)
        m_slots.erase(found);
}

size_t TConnectionCounts::Waiting(TIpv4 peer) const {
    auto found = m_slots.find(peer);
    return found == m_slots.end() ? 0 : found->second.live - found->second.answered;
}
