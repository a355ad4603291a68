#pragma once

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

// The rooms that have an issue under way on this host: one table per request handler, which the test dialog
// of that handler shares. A room is in it only while a turn holds or waits for its lock.
class TRoomTurns {
public:
    TRoomTurns() = default;
    TRoomTurns(const TRoomTurns&) = delete;
    TRoomTurns& operator=(const TRoomTurns&) = delete;

    // A room's lock and how many turns use it.
    struct TRoom;

private:
    friend class TRoomIssueTurn;
    std::mutex m_lock;
    std::map<std::string, std::shared_ptr<TRoom>> m_rooms;
};

// A room's turn among turns, held over the card start, the device's write and the room's recorded start, by
// the request handler and the test dialog alike: two copies for one room cannot both record a start, and a
// new card's recorded start is ordered with its write. The issued-card row is added after it. With a store
// shared by several hosts, the room's lock in the store is held around it as well. Turns are per room, so a
// store call that waits on a slow server holds up that room only, never the desk's other rooms (the device
// keeps its own lock over each write). Waits until the deadline at most; then the issue goes on without the
// turn, which is logged, so that no answer waits past its budget. The turns must outlive the turn.
class TRoomIssueTurn {
public:
    TRoomIssueTurn(TRoomTurns& turns, const std::string& roomKey,
                   std::chrono::steady_clock::time_point deadline);
    ~TRoomIssueTurn();
    TRoomIssueTurn(const TRoomIssueTurn&) = delete;
    TRoomIssueTurn& operator=(const TRoomIssueTurn&) = delete;
    bool Held() const { return m_held; }
    // Lets the turn go before the end of the scope.
    void Release();

private:
    TRoomTurns& m_turns;
    std::string m_roomKey;
    std::shared_ptr<TRoomTurns::TRoom> m_room;
    bool m_held = false;
};

// What an issue works with, all of it the caller's: the request handler passes its own, and the test dialog
// that of the running handler.
struct TCardIssueContext {
    // UseNativeDoorlockDb, SaveDoorlockRecord and DelayMinutes.
    const TDoorlockOption& Settings;
    // Null: every issue fails.
    TBaseDoorlock* Device = nullptr;
    // Null: no start is looked up or recorded, and no row is added.
    TDoorlockRecordStore* Store = nullptr;
    // The rooms' turns that this issue waits its turn in.
    TRoomTurns& Turns;
    // "Now": the card start of the native database and the row's operating time.
    std::function<TDateTime()> Clock = Now;
};

// The text of the issued-card rows of the test dialog: the operator at this desk asked.
std::string DeskOperatorSource();

// The whole issue: the card start (from the request, the record store or the clock, by UseNativeDoorlockDb),
// the device's IssueCard (false without a device), the room's recorded start after a new card was written,
// and the issued-card row under SaveDoorlockRecord. An error raised by the device passes to the caller with
// the store steps after the write skipped.
bool IssueCardWithRecords(const TCardIssueContext& context, const TCardIssue& issue, int64_t& cardNo);
