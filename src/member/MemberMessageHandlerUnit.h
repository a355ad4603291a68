#pragma once

#include "server/RequestOriginUnit.h"

#include <optional>
#include <string>

// The member-card response: one DoorResponse line, Password last.
class TMemberResponse {
public:
    std::string RequestID;
    std::string ResultCode;
    std::string ResultMessage;
    std::string CardNo;
    std::string Password;
    std::string ExpireDate;
    std::string GuestName;
    std::string Score;

    std::string ToXml() const;
};

// Writes ("WriteMemberCard") and reads ("ReadMemberCard") member cards through the member-card back end;
// any other type is closed without an answer. Errors pass to the request cycle.
std::optional<std::string> HandleMemberRequest(const std::string& request, const TRequestOrigin& origin);
