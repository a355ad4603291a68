#pragma once

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "support/TestSupport.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A device on the simulated encoder in a sandbox, with its own options (COM1) and log file installed as the
// process-wide ones.
class TDeviceFixture {
public:
    // The encoder is made once the log and options are in place, so that its own messages are logged.
    using TEncoderFactory = std::function<std::unique_ptr<TCardEncoder>()>;
    explicit TDeviceFixture(const TEncoderFactory& makeEncoder = nullptr);

    std::string CardFile() const { return sandbox.File("SimCard.bin"); }
    void PutCard(const std::string& bytes) const { WriteFileBytes(CardFile(), bytes); }
    std::string Card() const { return ReadFileBytes(CardFile()); }
    // The messages of the log, without their time stamps.
    std::vector<std::string> LogLines() const;

    std::unique_ptr<TCardEncoder> MakeEncoder(const TEncoderFactory& makeEncoder);

    TSandbox sandbox;
    TRestored<TLogFile*, TDoorlockOption*> globals{LogFile, Option};
    TLogFile log;
    TDoorlockOption option;
    std::unique_ptr<TCardEncoder> encoder;
    TIcDoorlock device;
};

// A device that records what it was asked.
class TRecordingDoorlock : public TBaseDoorlock {
public:
    struct TIssue {
        std::string RegisterId, Building, Floor, RoomNo, GuestName;
        TDateTime CheckInDate, CheckInTime, CheckOutDate, CheckOutTime;
        bool IsCopy;
    };
    bool IssueCard(const std::string& registerId, const std::string& roomBuildingCode,
                   const std::string& roomFloorCode, const std::string& roomNo, const std::string& guestName,
                   TDateTime checkInDate, TDateTime checkInTime, TDateTime checkOutDate,
                   TDateTime checkOutTime, bool isCopy, int64_t& cardNo) override {
        Issues.push_back({registerId, roomBuildingCode, roomFloorCode, roomNo, guestName, checkInDate,
                          checkInTime, checkOutDate, checkOutTime, isCopy});
        if (Throw)
            throw EConvertError("'" + roomNo + "' is not a valid room number");
        if (Succeed)
            cardNo = 816123114;
        return Succeed;
    }
    bool ReadCard(int64_t& cardNo) override {
        if (Succeed)
            cardNo = 15151515;
        return Succeed;
    }
    bool EraseCard() override { return Succeed; }

    bool Succeed = true;
    bool Throw = false;
    std::vector<TIssue> Issues;
};

std::string Bytes(std::initializer_list<int> values);
std::string BlankCard();
