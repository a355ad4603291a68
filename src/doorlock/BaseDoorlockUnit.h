#pragma once

#include "platform/DateTimeUnit.h"

#include <cstdint>
#include <string>

// The card-encoder device as the rest of the system sees it. A device of this class itself does nothing
// and fails every operation.
class TBaseDoorlock {
public:
    virtual ~TBaseDoorlock() = default;

    virtual void ShowOption() {}
    virtual bool OpenPort() { return false; }
    virtual void Beep() {}
    virtual bool ClosePort() { return false; }
    // Each date-time pair carries the same moment in both arguments: the date is taken from the first, the
    // clock time from the second. cardNo is set only on success.
    virtual bool IssueCard(const std::string& registerId, const std::string& roomBuildingCode,
                           const std::string& roomFloorCode, const std::string& roomNo,
                           const std::string& guestName, TDateTime checkInDate, TDateTime checkInTime,
                           TDateTime checkOutDate, TDateTime checkOutTime, bool isCopy, int64_t& cardNo) {
        (void)registerId, (void)roomBuildingCode, (void)roomFloorCode, (void)roomNo, (void)guestName;
        (void)checkInDate, (void)checkInTime, (void)checkOutDate, (void)checkOutTime, (void)isCopy,
            (void)cardNo;
        return false;
    }
    virtual bool ReadCard(int64_t& cardNo) {
        (void)cardNo;
        return false;
    }
    virtual bool EraseCard() { return false; }
};

// The one device of the process; not owned. Null until the host start-up sets it.
inline TBaseDoorlock* CurrentDoorlock = nullptr;
