#pragma once

#include "member/BaseMemberUnit.h"
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

// The member kind's request handler: writes ("WriteMemberCard") and reads ("ReadMemberCard") member cards
// through the back end it was given; any other type is closed without an answer. Errors pass to the request
// cycle.
class TMemberMessageHandler {
public:
    // member: null fails every card request. Not owned; it must outlive the handler.
    explicit TMemberMessageHandler(TBaseMember* member) : m_member(member) {}

    // Any thread.
    std::optional<std::string> Handle(const std::string& request, const TRequestOrigin& origin);

private:
    TBaseMember* m_member;
};
