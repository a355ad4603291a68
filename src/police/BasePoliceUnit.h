#pragma once

#include <string>

// A guest record as the police back end hands it out; all fields are text in the system code page.
struct TGuestRecord {
    std::string RoomNo;
    std::string EnterTime;
    std::string IdCardType; // not read by the host: the response always says 11
    std::string IdCardNo;
    std::string Name;
    std::string Nationality;
    std::string GenderID;   // an integer written as text
    std::string Salutation; // not read by the host: derived from GenderID
    std::string CountryCode;
    std::string ProvinceCode;
    std::string Address;
    std::string Birthday;
};

// The police registration back end a deployment supplies.
class TBasePolice {
public:
    virtual ~TBasePolice() = default;
    // The back end's own options dialog.
    virtual void ShowOption() {}
    // The guest record to report, or nullptr when there is none. The record stays owned by the back end
    // and must stay valid until the next call. Called from connection threads concurrently.
    virtual const TGuestRecord* GetGuest() = 0;
};

// The back end of the running host; not owned. Null when there is none.
inline TBasePolice* CurrentPolice = nullptr;
