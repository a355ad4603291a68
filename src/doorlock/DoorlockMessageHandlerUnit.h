#pragma once

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockIssueUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/RequestOriginUnit.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

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

// The door-lock kind's request handler: serves requests with the settings, device and record store it was
// given, and keeps the rooms' turns that its issues (and the test dialog's) wait in.
class TDoorlockMessageHandler {
public:
    // settings: null serves as a process that read no settings file (nothing moved, nothing recorded); they
    // are read at each request, so a change the options dialog makes applies to the next one.
    // device: null fails every card request. store: null looks up and records nothing. clock: "now" of
    // every issue. Each must outlive the handler.
    TDoorlockMessageHandler(const TDoorlockOption* settings, TBaseDoorlock* device,
                            TDoorlockRecordStore* store, std::function<TDateTime()> clock = Now);
    TDoorlockMessageHandler(const TDoorlockMessageHandler&) = delete;
    TDoorlockMessageHandler& operator=(const TDoorlockMessageHandler&) = delete;

    // Serves one door-lock request from origin: "IssueCard", "ReadCard" or "EraseCard" in the root's type
    // attribute; any other type is logged and closed without an answer. Errors (a request that does not
    // parse, a missing child, a bad date, a bad room number) pass to the request cycle, which closes without
    // a response. Any thread.
    std::optional<std::string> Handle(const std::string& request, const TRequestOrigin& origin);

    // Before the host listens: a store this build cannot reach raises, instead of losing every row.
    void CheckUsable() const;

    TBaseDoorlock* Device() const { return m_device; }
    // What the handler issues with, for the test dialog: its settings, device, store, room turns and clock.
    TCardIssueContext IssueContext();

private:
    bool DoIssueCard(const TXmlNode& root, const TRequestOrigin& origin, int64_t& cardNo);

    const TDoorlockOption* m_settings;
    TBaseDoorlock* m_device;
    TDoorlockRecordStore* m_store;
    std::function<TDateTime()> m_clock;
    TRoomTurns m_roomTurns;
};
