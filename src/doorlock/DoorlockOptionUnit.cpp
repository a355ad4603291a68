#include "doorlock/DoorlockOptionUnit.h"

#include "platform/IniFileUnit.h"

#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view Section = "DoorlockOption";

} // namespace

TDoorlockOption* Option = nullptr;

TDoorlockOption::TDoorlockOption(std::string fileName) : FileName(std::move(fileName)) {}

void TDoorlockOption::LoadOption() {
    TIniFile ini(FileName);
    PortName = ini.ReadString(Section, "PortName", "COM1");
    EncoderLibrary = ini.ReadString(Section, "EncoderLibrary", "");
    Database = ini.ReadString(Section, "Database", "");
    // One line, two defaults where the key is missing or not a number. Card issuing takes 0, so that a
    // file without the key starts cards where the request says. The options dialog writes the key back,
    // with the device's own default 1 in that case: once a desk has saved its port, its cards start a
    // minute early from the next start on. The password change writes the issuing value over it again.
    DelayMinutes = ini.ReadInteger(Section, "DelayMinutes", 0);
    m_dialogDelayMinutes = ini.ReadInteger(Section, "DelayMinutes", 1);
    DelayMinutes2 = ini.ReadInteger(Section, "DelayMinutes2", 0);
    UseNativeDoorlockDb = ini.ReadBool(Section, "UseNativeDoorlockDb", false);
    SaveDoorlockRecord = ini.ReadBool(Section, "SaveDoorlockRecord", false);
    RecordRetentionDays = ini.ReadInteger(Section, "RecordRetentionDays", 0);
    RecordRetention = ini.ReadString(Section, "RecordRetention", "Delete");
}

void TDoorlockOption::SaveOption() {
    // The library path and the database are set by hand in the file; the dialog never changes them, so they
    // are not written back.
    TIniFile ini(FileName);
    ini.WriteString(Section, "PortName", PortName);
    ini.WriteInteger(Section, "DelayMinutes", m_dialogDelayMinutes);
}

void TDoorlockOption::SaveIssueOption() {
    TIniFile ini(FileName);
    ini.WriteInteger(Section, "DelayMinutes", DelayMinutes);
    ini.WriteInteger(Section, "DelayMinutes2", DelayMinutes2);
    ini.WriteBool(Section, "UseNativeDoorlockDb", UseNativeDoorlockDb);
    ini.WriteBool(Section, "SaveDoorlockRecord", SaveDoorlockRecord);
}

int32_t TDoorlockOption::PortIndex() const {
    static constexpr std::array<std::string_view, 6> Ports = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
    for (size_t i = 0; i < Ports.size(); ++i) {
        if (PortName == Ports[i])
            return static_cast<int32_t>(i);
    }
    return -1;
}

TRecordRetentionPolicy RecordRetentionPolicyOf(const TDoorlockOption& option) {
    return RecordRetentionPolicyOf(option.RecordRetentionDays, option.RecordRetention);
}

bool OptionFileNamesServer(const std::string& optionFile) {
    TDoorlockOption option(optionFile);
    option.LoadOption();
    return !option.Database.empty();
}
