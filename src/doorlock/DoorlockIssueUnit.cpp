#include "doorlock/DoorlockIssueUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/SysUtilsUnit.h"

std::mutex& IssueCardLock() {
    static std::mutex lock;
    return lock;
}

bool IssueCardWithRecords(const TCardIssue& issue, int64_t& cardNo) {
    const bool useNativeDb = Option != nullptr && Option->UseNativeDoorlockDb;
    const bool saveRecord = Option != nullptr && Option->SaveDoorlockRecord;
    // 64 bits: the negated most negative delay must not overflow.
    const int64_t delayMinutes = Option != nullptr ? Option->DelayMinutes : 0;
    const std::string roomKey = issue.RoomKey();

    // With a store that other hosts share, the room's lock there orders this issue with theirs. It is taken
    // before this host's lock, so that waiting for another desk never holds up this desk's other rooms.
    TRoomLock roomLock;
    if (useNativeDb && DoorlockRecordStore != nullptr)
        roomLock = DoorlockRecordStore->LockRoom(roomKey);

    std::unique_lock<std::mutex> guard(IssueCardLock());

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
    guard.unlock();
    roomLock = TRoomLock();
    if (saveRecord && DoorlockRecordStore != nullptr) {
        DoorlockRecordStore->AddIssueCardRecord(issue.RegisterId, IntToStr(cardNo), roomKey, 1, cardStart,
                                                issue.RequestedStart, issue.CheckOut, issue.IsCopy,
                                                issue.GuestName, Now());
    }
    return issued;
}
