#include "server/ConnectionLogUnit.h"

#include "platform/CodePageUnit.h"

#include <algorithm>

bool TLogThrottle::Allow(TIpv4 key, TClock::time_point now) {
    auto found = m_last.find(key);
    if (found != m_last.end()) {
        if (now - found->second < m_interval)
            return false;
        found->second = now;
        return true;
    }
    if (m_last.size() >= m_pruneAt) {
        std::erase_if(m_last, [&](const auto& entry) { return now - entry.second >= m_interval; });
        m_pruneAt = std::max(m_pruneAt, 2 * m_last.size());
    }
    m_last.emplace(key, now);
    return true;
}

std::string RefusedClientLine(TIpv4 peer) {
    return Gbk("拒绝来自 ") + Ipv4Text(peer) + Gbk(" 的连接");
}

std::string ConnectionCapLine(size_t cap, TIpv4 peer) {
    return Gbk("连接数已达上限(") + std::to_string(cap) + Gbk(")，关闭来自 ") + Ipv4Text(peer) +
           Gbk(" 的新连接");
}

std::string ClientCapLine(size_t cap, TIpv4 peer) {
    return Gbk("来自 ") + Ipv4Text(peer) + Gbk(" 的连接数已达上限(") + std::to_string(cap) +
           Gbk(")，关闭新连接");
}

std::string RequestTimeoutLine(TIpv4 peer) {
    return Gbk("接收请求超时，关闭来自 ") + Ipv4Text(peer) + Gbk(" 的连接");
}
