// The profile reader on any file: every key the host reads gives a value or its default, and a key written
// into that file reads back as written.
#include "platform/IniFileUnit.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const char* const kKeys[][2] = {
    {"SysOption", "Password"},
    {"SysOption", "DoorlockPortNo"},
    {"SysOption", "PolicePortNo"},
    {"SysOption", "MemberPortNo"},
    {"SysOption", "ScanPortNo"},
    {"DoorlockOption", "PortName"},
    {"DoorlockOption", "DelayMinutes"},
    {"DoorlockOption", "DelayMinutes2"},
    {"DoorlockOption", "UseNativeDoorlockDb"},
    {"DoorlockOption", "SaveDoorlockRecord"},
    {"DoorlockOption", "EncoderLibrary"},
};

// In memory where there is such a file system: every write syncs the file to its disk.
std::string FuzzFile() {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/ini-fuzz-" + std::to_string(getpid()) + ".ini";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FuzzFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    TIniFile ini(path);
    for (const auto& key : kKeys) {
        if (ini.ReadString(key[0], key[1], "").size() > 2047)
            std::abort();
        (void)ini.ReadInteger(key[0], key[1], -1);
        (void)ini.ReadBool(key[0], key[1], false);
    }
    ini.WriteInteger("DoorlockOption", "DelayMinutes", 12345);
    ini.WriteString("SysOption", "Password", "new pass");
    if (ini.ReadInteger("DoorlockOption", "DelayMinutes", 0) != 12345 ||
        ini.ReadString("SysOption", "Password", "") != "new pass")
        std::abort();
    std::remove(path.c_str());
    return 0;
}
