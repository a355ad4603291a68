#pragma once

#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/IcDoorlockUnit.h"
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

std::string Bytes(std::initializer_list<int> values);
std::string BlankCard();
