#include "doorlock/DoorlockIssueUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

#include <map>
#include <mutex>

struct TRoomIssueTurn::TRoom {
    std::timed_mutex Lock;
    int Users = 0; // turns that hold or wait for Lock, under the table's lock
};

namespace {

// The rooms that have an issue under way on this host.
struct TRoomTable {
    std::mutex Lock;
    std::map<std::string, std::shared_ptr<TRoomIssueTurn::TRoom>> Rooms;
};

TRoomTable& Rooms() {
    static TRoomTable table;
    return table;
}

} // namespace

TRoomIssueTurn::TRoomIssueTurn(const std::string& roomKey, std::chrono::steady_clock::time_point deadline)
    : m_roomKey(roomKey) {
    {
        TRoomTable& table = Rooms();
        std::lock_guard<std::mutex> guard(table.Lock);
        auto& room = table.Rooms[roomKey];
        if (!room)
            room = std::make_shared<TRoom>();
        ++room->Users;
        m_room = room;
    }
    m_held = m_room->Lock.try_lock_until(deadline);
    if (!m_held)
        WriteLog(Gbk("房间(") + roomKey + Gbk(")等待发卡超时，未加锁继续"));
}

TRoomIssueTurn::~TRoomIssueTurn() {
    Release();
}

void TRoomIssueTurn::Release() {
    if (!m_room)
        return;
    if (m_held)
        m_room->Lock.unlock();
    m_held = false;
    TRoomTable& table = Rooms();
    std::lock_guard<std::mutex> guard(table.Lock);
    if (--m_room->Users == 0)
        table.Rooms.erase(m_roomKey);
    m_room.reset();
}

bool IssueCardWithRecords(const TCardIssue& issue, int64_t& cardNo) {
    const bool useNativeDb = Option != nullptr && Option->UseNativeDoorlockDb;
    const bool saveRecord = Option != nullptr && Option->SaveDoorlockRecord;
    // 64 bits: the negated most negative delay must not overflow.
    const int64_t delayMinutes = Option != nullptr ? Option->DelayMinutes : 0;
    const std::string roomKey = issue.RoomKey();

    // With a store that other hosts share, the room's lock there orders this issue with theirs. It is taken
    // before this host's turn; both waits together end at one deadline.
    const auto lockDeadline = std::chrono::steady_clock::now() + StoreRoomLockWait;
    TRoomLock roomLock;
    if (useNativeDb && DoorlockRecordStore != nullptr)
        roomLock = DoorlockRecordStore->LockRoom(roomKey);

    TRoomIssueTurn turn(roomKey, lockDeadline);

    TDateTime cardStart = issue.RequestedStart;
    if (useNativeDb) {
        if (issue.IsCopy) {
            cardStart = DoorlockRecordStore != nullptr ? DoorlockRecordStore->GetLastCheckInTime(roomKey) : 0;
            if (cardStart == 0) {
                cardStart = IncMinutes(Now(), -delayMinutes);
                if (DoorlockRecordStore != nullptr)
                    DoorlockRecordStore->AddRoom(roomKey, cardStart);
            }
        } else {
            cardStart = IncMinutes(Now(), -delayMinutes);
        }
    }

    bool issued = false;
    if (CurrentDoorlock != nullptr) {
        issued = CurrentDoorlock->IssueCard(issue.RegisterId, issue.RoomBuildingCode, issue.RoomFloorCode,
                                            issue.RoomNo, issue.GuestName, cardStart, cardStart,
                                            issue.CheckOut, issue.CheckOut, issue.IsCopy, cardNo);
    }

    if (issued && useNativeDb && !issue.IsCopy && DoorlockRecordStore != nullptr)
        DoorlockRecordStore->SetLastCheckInTime(roomKey, cardStart);
    // The room's recorded start is settled. The issued-card row is never read back, so it needs no place in
    // this order, and adding it outside the lock lets the rows of simultaneous issues share one disk sync.
    turn.Release();
    roomLock = TRoomLock();
    if (saveRecord && DoorlockRecordStore != nullptr) {
        DoorlockRecordStore->AddIssueCardRecord(issue.RegisterId, IntToStr(cardNo), roomKey, 1, cardStart,
                                                issue.RequestedStart, issue.CheckOut, issue.IsCopy,
                                                issue.GuestName, Now());
    }
    return issued;
}
