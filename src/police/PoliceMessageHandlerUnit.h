#pragma once

#include "police/BasePoliceUnit.h"
#include "server/RequestOriginUnit.h"

#include <optional>
#include <string>

// The police kind's request handler: answers every request with the guest record of the back end it was
// given; the request itself only goes to the log.
class TPoliceMessageHandler {
public:
    // police: null answers with no guest. Not owned; it must outlive the handler.
    explicit TPoliceMessageHandler(TBasePolice* police) : m_police(police) {}

    // Any thread.
    std::optional<std::string> Handle(const std::string& request, const TRequestOrigin& origin);

private:
    TBasePolice* m_police;
};

// The <Guest> element of a record. Raises EConvertError when GenderID is not an integer.
std::string GuestToXml(const TGuestRecord& guest);
