#pragma once

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/DateTimeUnit.h"

#include <cstdint>
#include <mutex>
#include <string>

// One guest card issue as the request handler and the test dialog describe it.
struct TCardIssue {
    std::string RegisterId;
    std::string RoomBuildingCode;
    std::string RoomFloorCode;
    std::string RoomNo;
    std::string GuestName;
    // The start the caller asks for (the handler has already moved it back by DelayMinutes).
    TDateTime RequestedStart = 0;
    TDateTime CheckOut = 0;
    bool IsCopy = false;
    // Who asked: the peer of a served request, or the operator at this desk; copied into the issued-card row.
    std::string Source;

    // Building code + floor code + room number: the room's identity in the record store.
    std::string RoomKey() const { return RoomBuildingCode + RoomFloorCode + RoomNo; }
};

// Held over the card start, the device's write and the room's recorded start, by the request handler and
// the test dialog alike: two copies for one room cannot both record a start, and a new card's recorded start
// is ordered with its write. The issued-card row is added after it. With a store shared by several hosts, the
// room's lock in the store is held around it as well.
std::mutex& IssueCardLock();

// What an issue works with, all of it the caller's: the request handler and the test dialog pass the
// process's own.
struct TCardIssueContext {
    // UseNativeDoorlockDb, SaveDoorlockRecord and DelayMinutes.
    const TDoorlockOption& Settings;
    // Null: every issue fails.
    TBaseDoorlock* Device = nullptr;
    // Null: no start is looked up or recorded, and no row is added.
    TDoorlockRecordStore* Store = nullptr;
};

// The text of the issued-card rows of the test dialog: the operator at this desk asked.
std::string DeskOperatorSource();

// The whole issue: the card start (from the request, the record store or the clock, by UseNativeDoorlockDb),
// the device's IssueCard (false without a device), the room's recorded start after a new card was written,
// and the issued-card row under SaveDoorlockRecord. An error raised by the device passes to the caller with
// the store steps after the write skipped.
bool IssueCardWithRecords(const TCardIssueContext& context, const TCardIssue& issue, int64_t& cardNo);
