#pragma once

#include "records/ConnectGateUnit.h"
#include "records/RecordStoreBudgetUnit.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace soci {
class session;
}

class TConnectGate;
class TRoomLockPool;

// The advisory lock key of a text: 64-bit FNV-1a of its UTF-8 bytes, the same on every host.
long long AdvisoryLockKey(const std::string& utf8Text);

// A room's lock in a store that several hosts share: a transaction-scoped advisory lock on the room key,
// in a connection of its own, released when this goes. Empty (nothing held) for a store of one host.
class TRoomLock {
public:
    TRoomLock();
    TRoomLock(TRoomLock&& other) noexcept;
    TRoomLock& operator=(TRoomLock&& other) noexcept;
    ~TRoomLock();
    bool Held() const { return m_session != nullptr; }

private:
    friend class TRoomLockPool;
    TRoomLockPool* m_pool = nullptr;
    std::unique_ptr<soci::session> m_session;
};

// The connections of a shared store that hold room locks, kept for the next lock; a few at most, so that
// busy desks do not use up the server's connections. Connects through the store's gate.
class TRoomLockPool {
public:
    TRoomLockPool(TConnectGate& gate, std::string backend, std::string connectString);
    ~TRoomLockPool();

    // Waits up to the lock wait (3 s) for the room's lock; without it (waited too long, no server) the
    // issue goes on unlocked, which is logged. Other rooms never wait for it.
    TRoomLock Lock(const std::string& roomKey);
    void SetLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }

private:
    friend class TRoomLock;
    // Ends the lock's transaction, then gives the connection back.
    void Release(std::unique_ptr<soci::session> session);
    void Return(std::unique_ptr<soci::session> session);

    TConnectGate& m_gate;
    std::string m_backend;
    std::string m_connectString;
    std::chrono::milliseconds m_lockWait = StoreRoomLockWait;
    std::mutex m_lock;
    std::condition_variable m_returned;
    std::vector<std::unique_ptr<soci::session>> m_idle;
    int m_inUse = 0;
};
