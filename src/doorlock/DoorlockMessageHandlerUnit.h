#pragma once

#include <cstdint>
#include <string>

class TConnection;
class TInfoList;
class TXmlNode;

// The door-lock response: one DoorResponse line.
class TDoorlockResponse {
public:
    std::string RequestID;
    std::string ResultCode;
    std::string ResultMessage;
    int64_t CardNo = 0;

    std::string ToXml() const;
};

// Serves one door-lock request: "IssueCard", "ReadCard" or "EraseCard" in the root's type attribute.
class TDoorlockMessageHandler {
public:
    // The information list is kept but never written: request progress goes to the log only.
    explicit TDoorlockMessageHandler(TInfoList* infoMemo);

    // Errors (a request that does not parse, a missing child, a bad date, a bad room number) pass to the
    // connection cycle, which closes the connection without a response.
    void HandleRequest(TConnection& connection, const std::u16string& request);

    bool DoIssueCard(TXmlNode& root, int64_t& cardNo);
    bool DoReadCard(int64_t& cardNo);
    bool DoEraseCard();

private:
    TInfoList* m_infoMemo;
};
