#include "server/AdmissionUnit.h"

#include <algorithm>

TAdmission::TAdmission(TLimits limits) : m_limits(std::move(limits)) {}

bool TAdmission::Allowed(const TClientKey& key) const {
    if (m_limits.Allowed.empty())
        return true;
    return !key.Ipv6 &&
           std::any_of(m_limits.Allowed.begin(), m_limits.Allowed.end(), [&](const TIpv4Range& range) {
               return range.Contains(static_cast<TIpv4>(key.Value));
           });
}

TAdmission::TDecision TAdmission::Admit(const TClientKey& key, TClock::time_point now) {
    std::lock_guard guard(m_lock);
    TDecision decision;
    if (!Allowed(key)) {
        if (m_refusedLog.Allow(key, now))
            decision.Line = RefusedClientLine(key);
        decision.Refusal = "allow_list";
        return decision;
    }
    auto client = m_clients.find(key);
    const size_t waiting = client == m_clients.end() ? 0 : client->second.Waiting;
    const size_t reading = client == m_clients.end() ? 0 : client->second.Reading.size();
    if (m_limits.MaxPerClient > 0 && waiting >= m_limits.MaxPerClient) {
        if (m_clientCapLog.Allow(key, now))
            decision.Line = ClientCapLine(m_limits.MaxPerClient, key);
        decision.Refusal = "client_cap";
        return decision;
    }
    if (m_limits.MaxReading > 0 && m_reading >= m_limits.MaxReading) {
        // Room is made only at the expense of a client that would still hold more than the newcomer.
        const auto top = std::prev(m_byReading.end());
        if (top->first <= reading + 1) {
            if (m_capLog.Allow(TClientKey(), now))
                decision.Line = ConnectionCapLine(m_limits.MaxReading, key);
            decision.Refusal = "reading_cap";
            return decision;
        }
        const TClientKey victimKey = top->second;
        auto victim = m_connections.find(m_clients[victimKey].Reading.front());
        decision.Closed = victim->first;
        if (m_readingCapLog.Allow(TClientKey(), now))
            decision.Line = ReadingCapLine(m_limits.MaxReading, victimKey);
        Forget(victim);
    }
    TClient& admitted = m_clients[key];
    const TId id = m_nextId++;
    TConnection& connection = m_connections[id];
    connection.Key = key;
    if (!admitted.Reading.empty())
        m_byReading.erase({admitted.Reading.size(), key});
    connection.InReading = admitted.Reading.insert(admitted.Reading.end(), id);
    m_byReading.insert({admitted.Reading.size(), key});
    ++admitted.Waiting;
    ++m_reading;
    decision.Admitted = true;
    decision.Id = id;
    return decision;
}

void TAdmission::LeaveReading(TConnection& connection, TClient& client) {
    m_byReading.erase({client.Reading.size(), connection.Key});
    client.Reading.erase(connection.InReading);
    if (!client.Reading.empty())
        m_byReading.insert({client.Reading.size(), connection.Key});
    --m_reading;
}

bool TAdmission::StartWork(TId id, TClock::time_point now, std::string& line) {
    std::lock_guard guard(m_lock);
    auto found = m_connections.find(id);
    if (found == m_connections.end() || found->second.State != TState::Reading)
        return false;
    TConnection& connection = found->second;
    if (m_limits.MaxWorking > 0 && m_working >= m_limits.MaxWorking) {
        if (m_capLog.Allow(TClientKey(), now))
            line = ConnectionCapLine(m_limits.MaxWorking, connection.Key);
        return false;
    }
    LeaveReading(connection, m_clients.find(connection.Key)->second);
    connection.State = TState::Working;
    ++m_working;
    return true;
}

void TAdmission::Answered(TId id) {
    std::lock_guard guard(m_lock);
    auto found = m_connections.find(id);
    if (found == m_connections.end() || found->second.State == TState::Answered)
        return;
    StopCounting(found->second);
}

void TAdmission::Remove(TId id) {
    std::lock_guard guard(m_lock);
    auto found = m_connections.find(id);
    if (found != m_connections.end())
        Forget(found);
}

// Under the lock, for a connection being read or in a worker: it no longer counts. A client is forgotten once
// nothing of it counts, so that a scan leaves nothing behind; its answered connections need no entry.
void TAdmission::StopCounting(TConnection& connection) {
    auto client = m_clients.find(connection.Key);
    if (connection.State == TState::Reading)
        LeaveReading(connection, client->second);
    else
        --m_working;
    if (--client->second.Waiting == 0)
        m_clients.erase(client);
    connection.State = TState::Answered;
}

// Under the lock: the connection no longer counts and is forgotten.
void TAdmission::Forget(std::unordered_map<TId, TConnection>::iterator found) {
    if (found->second.State != TState::Answered)
        StopCounting(found->second);
    m_connections.erase(found);
}

size_t TAdmission::Reading() const {
    std::lock_guard guard(m_lock);
    return m_reading;
}

size_t TAdmission::Working() const {
    std::lock_guard guard(m_lock);
    return m_working;
}

size_t TAdmission::Waiting(const TClientKey& key) const {
    std::lock_guard guard(m_lock);
    auto found = m_clients.find(key);
    return found == m_clients.end() ? 0 : found->second.Waiting;
}

size_t ReadingConnectionCap(size_t setting, size_t workingCap, size_t descriptorLimit) {
    if (descriptorLimit == 0)
        return setting;
    constexpr size_t Reserved = 256;
    constexpr size_t Least = 64;
    const size_t working = std::min(workingCap > 0 ? workingCap : descriptorLimit, descriptorLimit / 2);
    const size_t room = descriptorLimit > Reserved + working ? descriptorLimit - Reserved - working : 0;
    const size_t within = std::max(room, Least);
    return setting > 0 ? std::min(setting, within) : within;
}
