#include "server/SysOptionUnit.h"

#include "platform/IniFileUnit.h"
#include "platform/SysUtilsUnit.h"

namespace {
constexpr const char* kSys = "SysOption";
constexpr const char* kDoorlock = "DoorlockOption";
} // namespace

TSysOption* SysOption = nullptr;

TSysOption::TSysOption(std::string fileName) : FileName(std::move(fileName)) {}

void TSysOption::LoadOption() {
    TIniFile ini(FileName);
    Password = ini.ReadString(kSys, "Password", "mirvek");
    DoorlockPortNo = ini.ReadInteger(kSys, "DoorlockPortNo", 8886);
    PolicePortNo = ini.ReadInteger(kSys, "PolicePortNo", 8885);
    MemberPortNo = ini.ReadInteger(kSys, "MemberPortNo", 8883);
    ScanPortNo = ini.ReadInteger(kSys, "ScanPortNo", 8881);
    DelayMinutes = ini.ReadInteger(kDoorlock, "DelayMinutes", 0);
    DelayMinutes2 = ini.ReadInteger(kDoorlock, "DelayMinutes2", 0);
    UseNativeDoorlockDb = ini.ReadBool(kDoorlock, "UseNativeDoorlockDb", false);
    SaveDoorlockRecord = ini.ReadBool(kDoorlock, "SaveDoorlockRecord", false);
}

void TSysOption::SaveOption() {
    TIniFile ini(FileName);
    ini.WriteString(kSys, "Password", Password);
    ini.WriteInteger(kSys, "DoorlockPortNo", DoorlockPortNo);
    ini.WriteInteger(kSys, "PolicePortNo", PolicePortNo);
    ini.WriteInteger(kSys, "MemberPortNo", MemberPortNo);
    ini.WriteInteger(kSys, "ScanPortNo", ScanPortNo);
    ini.WriteInteger(kDoorlock, "DelayMinutes", DelayMinutes);
    ini.WriteInteger(kDoorlock, "DelayMinutes2", DelayMinutes2);
    ini.WriteBool(kDoorlock, "UseNativeDoorlockDb", UseNativeDoorlockDb);
    ini.WriteBool(kDoorlock, "SaveDoorlockRecord", SaveDoorlockRecord);
}

bool TSysOption::PasswordMatches(std::string_view entered) const {
    return Trim(entered) == Password;
}
