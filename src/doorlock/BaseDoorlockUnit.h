#pragma once

#include "platform/DateTimeUnit.h"

#include <chrono>
#include <cstdint>
#include <string>

class TMetricsText;

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

    // For the monitor's readiness: whether a card could be written now, and in a few words why. A device
    // whose port is not open tries to open it again (under its lock, waiting for it at most wait; no beep,
    // no card touched), so readiness comes back once the fault is mended. A device another operation holds is
    // ready, unless it has held it longer than stuckAfter (a library call that does not return). detail:
    // system code page.
    virtual bool CheckReady(std::chrono::milliseconds wait, std::chrono::milliseconds stuckAfter,
                            std::string& detail) {
        (void)wait, (void)stuckAfter;
        detail = "no encoder";
        return false;
    }
    // The device's counts, as metric families.
    virtual void WriteMetrics(TMetricsText& text) const { (void)text; }
};

// The one device of the process; not owned. Null until the host start-up sets it.
inline TBaseDoorlock* CurrentDoorlock = nullptr;
