#include "doorlock/DoorlockIssueUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

std::mutex& IssueCardLock() {
    static std::mutex lock;
    return lock;
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
    // before this host's lock, so that waiting for another desk never holds up this desk's other rooms.
    TRoomLock roomLock;
    if (useNativeDb)
        roomLock = store->LockRoom(roomKey);

    std::unique_lock<std::mutex> guard(IssueCardLock());

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
    guard.unlock();
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
