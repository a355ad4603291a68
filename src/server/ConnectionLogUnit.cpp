#include "server/ConnectionLogUnit.h"

#include "platform/CodePageUnit.h"

#include <algorithm>

bool TLogThrottle::Allow(TClientKey key, TClock::time_point now) {
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

std::string RefusedClientLine(const TClientKey& peer) {
    return Gbk("拒绝来自 ") + peer.Text() + Gbk(" 的连接");
}

std::string ConnectionCapLine(size_t cap, const TClientKey& peer) {
    return Gbk("连接数已达上限(") + std::to_string(cap) + Gbk(")，关闭来自 ") + peer.Text() +
           Gbk(" 的新连接");
}

std::string ClientCapLine(size_t cap, const TClientKey& peer) {
    return Gbk("来自 ") + peer.Text() + Gbk(" 的连接数已达上限(") + std::to_string(cap) +
           Gbk(")，关闭新连接");
}

std::string ReadingCapLine(size_t cap, const TClientKey& closedPeer) {
    return Gbk("正在接收请求的连接数已达上限(") + std::to_string(cap) + Gbk(")，关闭来自 ") +
           closedPeer.Text() + Gbk(" 的最早的连接");
}

std::string RequestTimeoutLine(const TClientKey& peer) {
    return Gbk("接收请求超时，关闭来自 ") + peer.Text() + Gbk(" 的连接");
}
