#pragma once

#include "server/RequestOriginUnit.h"

#include <cstdint>
#include <optional>
#include <string>

// The door-lock response: one DoorResponse line.
class TDoorlockResponse {
public:
    std::string RequestID;
    std::string ResultCode;
    std::string ResultMessage;
    int64_t CardNo = 0;

    std::string ToXml() const;
};

// Serves one door-lock request from origin: "IssueCard", "ReadCard" or "EraseCard" in the root's type
// attribute; any other type is logged and closed without an answer. Errors (a request that does not parse, a
// missing child, a bad date, a bad room number) pass to the request cycle, which closes without a response.
std::optional<std::string> HandleDoorlockRequest(const std::string& request, const TRequestOrigin& origin);
