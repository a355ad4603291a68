#include "doorlock/DoorlockIssueUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

struct TRoomTurns::TRoom {
    std::timed_mutex Lock;
    int Users = 0; // turns that hold or wait for Lock, under the table's lock
};

TRoomIssueTurn::TRoomIssueTurn(TRoomTurns& turns, const std::string& roomKey,
                               std::chrono::steady_clock::time_point deadline)
    : m_turns(turns), m_roomKey(roomKey) {
    {
        std::lock_guard<std::mutex> guard(m_turns.m_lock);
        auto& room = m_turns.m_rooms[roomKey];
        if (!room)
            room = std::make_shared<TRoomTurns::TRoom>();
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
    std::lock_guard<std::mutex> guard(m_turns.m_lock);
    if (--m_room->Users == 0)
        m_turns.m_rooms.erase(m_roomKey);
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

    TRoomIssueTurn turn(context.Turns, roomKey, lockDeadline);

    TDateTime cardStart = issue.RequestedStart;
    if (settings.UseNativeDoorlockDb) {
        if (issue.IsCopy) {
            const std::optional<TDateTime> recorded =
                useNativeDb ? store->GetLastCheckInTime(roomKey) : std::optional<TDateTime>(0);
            cardStart = recorded.value_or(0);
            if (cardStart == 0) {
                cardStart = IncMinutes(context.Clock(), -delayMinutes);
                // A room whose start could not be read may well have one: the guest still gets the key, but
                // the guess is not recorded as the room's start.
                if (!recorded)
                    WriteLog(Gbk("房间(") + roomKey +
                             Gbk(")的入住时间读取失败，补卡按当前时间发卡，不记入房间"));
                else if (useNativeDb)
                    store->AddRoom(roomKey, cardStart);
            }
        } else {
            cardStart = IncMinutes(context.Clock(), -delayMinutes);
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
        record.OpratingTime = context.Clock();
        record.Source = issue.Source;
        store->AddIssueCardRecord(record);
    }
    return issued;
}
