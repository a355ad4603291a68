#pragma once

#include "police/BasePoliceUnit.h"
#include "server/RequestOriginUnit.h"

#include <optional>
#include <string>

// Answers every request with the police back end's guest record; the request itself only goes to the log.
std::optional<std::string> HandlePoliceRequest(const std::string& request, const TRequestOrigin& origin);

// The <Guest> element of a record. Raises EConvertError when GenderID is not an integer.
std::string GuestToXml(const TGuestRecord& guest);
