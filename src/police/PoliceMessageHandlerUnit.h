#pragma once

#include "police/BasePoliceUnit.h"

#include <string>

class TConnection;
class TInfoList;

// Answers every request with the police back end's guest record.
class TPoliceMessageHandler {
public:
    explicit TPoliceMessageHandler(TInfoList* infoMemo);
    void HandleRequest(TConnection& connection, const std::u16string& request);

private:
    TInfoList* m_infoMemo;
};

// The <Guest> element of a record. Raises EConvertError when GenderID is not an integer.
std::string GuestToXml(const TGuestRecord& guest);
