#pragma once

#include "platform/DateTimeUnit.h"

#include <string>

// One T_IssueCardRecord row: one card issue attempt as it is stored. Text in the code page; a time of 0 is
// stored empty. Every field has its initializer, so that a row may name only the fields it sets.
struct TIssueCardRecord {
    std::string RegisterId{};
    std::string CardNo{};
    // The room key: building code + floor code + room number.
    std::string RoomNo{};
    int CardType = 1;
    // The card's start.
    TDateTime LastCheckInTime = 0;
    // The start the caller asked for.
    TDateTime CheckInTime = 0;
    TDateTime CheckOutTime = 0;
    bool IsCopy = false;
    std::string GuestName{};
    TDateTime OpratingTime = 0;
    // Who asked for the card: the peer of a served request, or the operator at this desk.
    std::string Source{};
};
