#pragma once

#include <string>

class TConnection;
class TInfoList;

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

// Writes and reads member cards through the member-card back end.
class TMemberMessageHandler {
public:
    explicit TMemberMessageHandler(TInfoList* infoMemo);
    void HandleRequest(TConnection& connection, const std::u16string& request);

private:
    TInfoList* m_infoMemo;
};
