#pragma once

#include "platform/SocketUnit.h"

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
    bool Allow(TIpv4 key, TClock::time_point now);
    size_t Size() const { return m_last.size(); }

private:
    TClock::duration m_interval;
    std::map<TIpv4, TClock::time_point> m_last;
    size_t m_pruneAt = 4096; // doubles with what a pruning keeps, so that a scan costs little per line
};

// Log lines of refused connections and of requests that ran out of time (GBK).
std::string RefusedClientLine(TIpv4 peer);
std::string ConnectionCapLine(size_t cap, TIpv4 peer);
std::string ClientCapLine(size_t cap, TIpv4 peer);
std::string RequestTimeoutLine(TIpv4 peer);
