#include "doorlock/OptionUnit.h"

#include "platform/IniFileUnit.h"

#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view Section = "DoorlockOption";

} // namespace

TOption* Option = nullptr;

TOption::TOption(std::string fileName) : FileName(std::move(fileName)) {}

void TOption::LoadOption() {
    TIniFile ini(FileName);
    PortName = ini.ReadString(Section, "PortName", "COM1");
    DelayMinutes = ini.ReadInteger(Section, "DelayMinutes", 1);
    EncoderLibrary = ini.ReadString(Section, "EncoderLibrary", "");
    Database = ini.ReadString(Section, "Database", "");
}

void TOption::SaveOption() {
    // The library path and the database are set by hand in the file; the dialog never changes them, so they
    // are not written back.
    TIniFile ini(FileName);
    ini.WriteString(Section, "PortName", PortName);
    ini.WriteInteger(Section, "DelayMinutes", DelayMinutes);
}

int32_t TOption::PortIndex() const {
    static constexpr std::array<std::string_view, 6> Ports = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
    for (size_t i = 0; i < Ports.size(); ++i) {
        if (PortName == Ports[i])
            return static_cast<int32_t>(i);
    }
    return -1;
}
