#include "records/RoomLockPoolUnit.h"

#include "platform/CodePageUnit.h"
#include "records/RecordStoreBudgetUnit.h"
#include "records/RecordStoreErrorUnit.h"
#include "records/RecordStoreSessionUnit.h"
#include "server/LogFileUnit.h"

#include <soci/soci.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

// How many connections at most hold room locks at one time; the next lock waits for one of them.
constexpr int MaxLockSessions = 8;

std::string LockWaitedText(const std::string& roomKey, std::chrono::milliseconds wait) {
    return Gbk("房间(") + roomKey + Gbk(")等待记录锁超过") + SecondsText(wait) + Gbk("秒，未加锁继续");
}

} // namespace

long long AdvisoryLockKey(const std::string& utf8Text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : utf8Text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return static_cast<long long>(hash);
}

TRoomLock::TRoomLock() = default;

TRoomLock::TRoomLock(TRoomLock&& other) noexcept
    : m_pool(std::exchange(other.m_pool, nullptr)), m_session(std::move(other.m_session)) {}

TRoomLock& TRoomLock::operator=(TRoomLock&& other) noexcept {
    if (this != &other) {
        if (m_pool != nullptr)
            m_pool->Release(std::move(m_session));
        m_pool = std::exchange(other.m_pool, nullptr);
        m_session = std::move(other.m_session);
    }
    return *this;
}

TRoomLock::~TRoomLock() {
    if (m_pool != nullptr)
        m_pool->Release(std::move(m_session));
}

TRoomLockPool::TRoomLockPool(TConnectGate& gate, std::string backend, std::string connectString)
    : m_gate(gate), m_backend(std::move(backend)), m_connectString(std::move(connectString)) {}

TRoomLockPool::~TRoomLockPool() = default;

TRoomLock TRoomLockPool::Lock(const std::string& roomKey) {
    TRoomLock lock;
    const auto deadline = std::chrono::steady_clock::now() + m_lockWait;
    std::unique_ptr<soci::session> session;
    {
        std::unique_lock<std::mutex> pool(m_lock);
        if (!m_returned.wait_until(pool, deadline,
                                   [&] { return !m_idle.empty() || m_inUse < MaxLockSessions; })) {
            WriteLog(LockWaitedText(roomKey, m_lockWait));
            return lock;
        }
        if (!m_idle.empty()) {
            session = std::move(m_idle.back());
            m_idle.pop_back();
        }
        ++m_inUse;
    }
    lock.m_pool = this;
    const long long key = AdvisoryLockKey(GbkToUtf8(roomKey));
    // An idle connection may have lost its server since its last use: then one more try on a new one.
    bool fromPool = session != nullptr;
    for (;;) {
        try {
            // Through the gate, like the store's own connection: a server that does not answer holds one
            // attempt, not every room lock.
            while (!session)
                session = m_gate.Open([this] { return OpenRecordStoreSession(m_backend, m_connectString); });
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            session->begin();
            // The lock wait ends the wait for the lock, in this transaction only; the session's statement
            // time-out, shorter, is moved past it.
            const long long wait = std::max<long long>(1, left.count());
            *session << "SELECT set_config('lock_timeout', '" + std::to_string(wait) +
                            "', true), set_config('statement_timeout', '" +
                            std::to_string(wait + StoreStatementTimeout.count()) + "', true)";
            *session << "SELECT pg_advisory_xact_lock(" + std::to_string(key) + ")";
            lock.m_session = std::move(session);
            return lock;
        } catch (const std::exception& e) {
            const bool timedOut = IsLockTimeout(e);
            WriteLog(timedOut ? LockWaitedText(roomKey, m_lockWait) : Utf8ToGbk(e.what()));
            const bool lost = !session || !session->is_connected();
            if (lost) {
                session.reset();
            } else {
                try {
                    session->rollback();
                } catch (const std::exception&) {
                    session.reset();
                }
            }
            if (fromPool && lost && !timedOut) {
                fromPool = false;
                continue;
            }
            break;
        }
    }
    // Rolled back already: the connection only goes back to the others.
    Return(std::move(session));
    lock.m_pool = nullptr;
    return lock;
}

void TRoomLockPool::Release(std::unique_ptr<soci::session> session) {
    if (session) {
        try {
            // Ends the transaction and with it the lock; a lost connection has released it already.
            session->commit();
        } catch (const std::exception& e) {
            WriteLog(Utf8ToGbk(e.what()));
            session.reset();
        }
    }
    Return(std::move(session));
}

void TRoomLockPool::Return(std::unique_ptr<soci::session> session) {
    std::lock_guard<std::mutex> pool(m_lock);
    if (session)
        m_idle.push_back(std::move(session));
    --m_inUse;
    m_returned.notify_one();
}
