#include "doorlock/DoorlockIssueUnit.h"

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

std::string DeskOperatorSource() {
    return Gbk("本机操作员");
}

bool IssueCardWithRecords(const TCardIssueContext& context, const TCardIssue& issue, int64_t& cardNo) {
    const auto& settings = context.Settings;
    auto* const store = context.Store;
    const bool useNativeDb = settings.UseNativeDoorlockDb && store != nullptr;
    // 64 bits: the negated most negative delay must not overflow.
    const int64_t delayMinutes = settings.DelayMinutes;
    const std::string roomKey = issue.RoomKey();

    // With a store that other hosts share, the room's lock there orders this issue with theirs. It is taken
    // before this host's turn; both waits together end at one deadline.
    const auto lockDeadline = std::chrono::steady_clock::now() + StoreRoomLockWait;
    TRoomLock roomLock;
    if (useNativeDb)
        roomLock = store->LockRoom(roomKey);

    TRoomIssueTurn turn(roomKey, lockDeadline);

    TDateTime cardStart = issue.RequestedStart;
    if (settings.UseNativeDoorlockDb) {
        if (issue.IsCopy) {
            cardStart = useNativeDb ? store->GetLastCheckInTime(roomKey) : 0;
            if (cardStart == 0) {
                cardStart = IncMinutes(Now(), -delayMinutes);
                if (useNativeDb)
                    store->AddRoom(roomKey, cardStart);
            }
        } else {
            cardStart = IncMinutes(Now(), -delayMinutes);
        }
    }

    const bool issued =
        context.Device != nullptr &&
        context.Device->IssueCard(issue.RegisterId, issue.RoomBuildingCode, issue.RoomFloorCode, issue.RoomNo,
                                  issue.GuestName, cardStart, cardStart, issue.CheckOut, issue.CheckOut,
                                  issue.IsCopy, cardNo);

    if (issued && useNativeDb && !issue.IsCopy)
        store->SetLastCheckInTime(roomKey, cardStart);
    // The room's recorded start is settled. The issued-card row is never read back, so it needs no place in
    // this order, and adding it outside the lock lets the rows of simultaneous issues share one disk sync.
    turn.Release();
    roomLock = TRoomLock();
    if (settings.SaveDoorlockRecord && store != nullptr) {
        TIssueCardRecord record;
        record.RegisterId = issue.RegisterId;
        record.CardNo = IntToStr(cardNo);
        record.RoomNo = roomKey;
        record.LastCheckInTime = cardStart;
        record.CheckInTime = issue.RequestedStart;
        record.CheckOutTime = issue.CheckOut;
        record.IsCopy = issue.IsCopy;
        record.GuestName = issue.GuestName;
        record.OpratingTime = Now();
        record.Source = issue.Source;
        store->AddIssueCardRecord(record);
    }
    return issued;
}
