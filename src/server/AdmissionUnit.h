#pragma once

#include "platform/SocketUnit.h"
#include "server/ClientKeyUnit.h"
#include "server/ConnectionLogUnit.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Who may hold a connection of a listener, and how many:
// - a client outside the allow-list is refused (an empty list lets everyone in; an IPv6 client only then);
// - a client that holds its cap of connections not yet answered is refused;
// - connections still being read (their TLS handshake included) have a large cap of their own, since such a
//   connection costs only a socket: when it is full, the oldest one of the client that holds most of them
//   makes room for a client that holds fewer, so that no set of clients can hold every slot by sending a
//   byte now and then; only when no client holds more than the newcomer is the newcomer refused;
// - requests read in full that wait for or run in a worker have the cap of the worker pool's queue; one over
//   it is closed unanswered.
// Answered connections count against nothing: a client may connect again as soon as it has its answer.
// Refusals are logged at most once a minute per client (the caps' lines once a minute in all). Thread-safe.
class TAdmission {
public:
    using TId = uint64_t;
    using TClock = std::chrono::steady_clock;

    struct TLimits {
        std::vector<TIpv4Range> Allowed; // empty: every client
        size_t MaxWorking = 0;           // 0: no cap, here and below
        size_t MaxReading = 0;
        size_t MaxPerClient = 0;
    };
    explicit TAdmission(TLimits limits);

    struct TDecision {
        bool Admitted = false;
        TId Id = 0; // when admitted
        // When admitted in place of another: the connection to close now (it no longer counts).
        std::optional<TId> Closed;
        std::string Line; // the log line (GBK), when one is due
        // When refused: allow_list, client_cap or reading_cap (a metric label).
        const char* Refusal = nullptr;
    };
    // A new connection from key, being read.
    TDecision Admit(const TClientKey& key, TClock::time_point now);
    // The connection's request was read in full: it now waits for a worker. False (with the line when one is
    // due) when the workers' cap is full; the connection is then to be closed.
    bool StartWork(TId id, TClock::time_point now, std::string& line);
    // Its answer goes out: it no longer counts.
    void Answered(TId id);
    // Closed; unknown (or closed in favour of another) ids are ignored.
    void Remove(TId id);

    size_t Reading() const;
    size_t Working() const;
    // Connections of the client not yet answered.
    size_t Waiting(const TClientKey& key) const;

private:
    enum class TState { Reading, Working, Answered };
    struct TConnection {
        TClientKey Key;
        TState State = TState::Reading;
        std::list<TId>::iterator InReading; // in its client's reading list, while Reading
    };
    struct TClient {
        size_t Waiting = 0;     // reading or working
        std::list<TId> Reading; // oldest first
    };

    bool Allowed(const TClientKey& key) const;
    void LeaveReading(TConnection& connection, TClient& client);
    void StopCounting(TConnection& connection);
    void Forget(std::unordered_map<TId, TConnection>::iterator found);

    const TLimits m_limits;
    mutable std::mutex m_lock;
    TId m_nextId = 1;
    std::unordered_map<TId, TConnection> m_connections;  // not yet closed
    std::unordered_map<TClientKey, TClient> m_clients;   // with a connection not yet closed
    std::set<std::pair<size_t, TClientKey>> m_byReading; // clients with reading connections, by how many
    size_t m_reading = 0;
    size_t m_working = 0;
    TLogThrottle m_refusedLog{std::chrono::minutes(1)};
    TLogThrottle m_clientCapLog{std::chrono::minutes(1)};
    TLogThrottle m_capLog{std::chrono::minutes(1)};
    TLogThrottle m_readingCapLog{std::chrono::minutes(1)};
};

// The cap on connections being read within a descriptor limit (0: none): what the setting asks (0: no cap of
// its own), leaving descriptors for the requests in the workers (at most half the limit) and 256 for the
// listener, the log, the card file and the databases; at least 64.
size_t ReadingConnectionCap(size_t setting, size_t workingCap, size_t descriptorLimit);
