#pragma once

#include "platform/SocketUnit.h"
#include "server/ClientKeyUnit.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

// At most one line per key and interval, so that a scan or a flood cannot fill the disk with log lines.
class TLogThrottle {
public:
    using TClock = std::chrono::steady_clock;
    explicit TLogThrottle(TClock::duration interval) : m_interval(interval) {}
    // True when the key has had no line within the interval before now; now is then its last line.
    bool Allow(TClientKey key, TClock::time_point now);
    size_t Size() const { return m_last.size(); }

private:
    TClock::duration m_interval;
    std::map<TClientKey, TClock::time_point> m_last;
    size_t m_pruneAt = 4096; // doubles with what a pruning keeps, so that a scan costs little per line
};

// Log lines of refused connections and of requests that ran out of time (GBK).
std::string RefusedClientLine(const TClientKey& peer);
std::string ConnectionCapLine(size_t cap, const TClientKey& peer);
std::string ClientCapLine(size_t cap, const TClientKey& peer);
// The oldest connection still being read of the address that holds most of them, closed to make room.
std::string ReadingCapLine(size_t cap, const TClientKey& closedPeer);
std::string RequestTimeoutLine(const TClientKey& peer);
