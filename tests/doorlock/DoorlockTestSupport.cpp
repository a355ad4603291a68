#include "DoorlockTestSupport.h"

#include <sstream>

TDeviceFixture::TDeviceFixture(const TEncoderFactory& makeEncoder)
    : log(sandbox.File("device.LOG")), option(sandbox.File("Option.ini")), encoder(MakeEncoder(makeEncoder)),
      device(*encoder) {}

std::unique_ptr<TCardEncoder> TDeviceFixture::MakeEncoder(const TEncoderFactory& makeEncoder) {
    LogFile = &log;
    Option = &option;
    return makeEncoder ? makeEncoder() : CreateSimulatedCardEncoder(CardFile());
}

std::vector<std::string> TDeviceFixture::LogLines() const {
    std::vector<std::string> lines;
    std::string text = ReadFileBytes(log.FileName());
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        // "yyyy-mm-dd hh:nn:ss " in front of every message
        lines.push_back(text.substr(start + 20, end - start - 20));
    }
    return lines;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

std::string BlankCard() {
    return std::string(256, '\xFF');
}
