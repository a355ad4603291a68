#include "server/SysOptionUnit.h"

#include "platform/IniFileUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/MonitorUnit.h"

namespace {
constexpr const char* kSys = "SysOption";
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
    ListenAddress = ini.ReadString(kSys, "ListenAddress", "");
    AllowedClients = ini.ReadString(kSys, "AllowedClients", "");
    MaxConnections = ini.ReadInteger(kSys, "MaxConnections", 1024);
    MaxReadingConnections = ini.ReadInteger(kSys, "MaxReadingConnections", 10000);
    MaxConnectionsPerClient = ini.ReadInteger(kSys, "MaxConnectionsPerClient", 64);
    ListenBacklog = ini.ReadInteger(kSys, "ListenBacklog", 15);
    RequestTimeout = ini.ReadInteger(kSys, "RequestTimeout", 30);
    TlsCertificate = ini.ReadString(kSys, "TlsCertificate", "");
    TlsPrivateKey = ini.ReadString(kSys, "TlsPrivateKey", "");
    TlsClientCA = ini.ReadString(kSys, "TlsClientCA", "");
    MonitorAddress = ini.ReadString(kSys, "MonitorAddress", "");
    MonitorClients = ini.ReadString(kSys, "MonitorClients", "");
    LogRollover = ini.ReadString(kSys, "LogRollover", "");
    LogRetentionDays = ini.ReadInteger(kSys, "LogRetentionDays", 0);
    LogMinFreeMB = ini.ReadInteger(kSys, "LogMinFreeMB", 100);
}

void TSysOption::SaveOption() {
    TIniFile ini(FileName);
    ini.WriteString(kSys, "Password", Password);
    ini.WriteInteger(kSys, "DoorlockPortNo", DoorlockPortNo);
    ini.WriteInteger(kSys, "PolicePortNo", PolicePortNo);
    ini.WriteInteger(kSys, "MemberPortNo", MemberPortNo);
    ini.WriteInteger(kSys, "ScanPortNo", ScanPortNo);
}

bool TSysOption::PasswordMatches(std::string_view entered) const {
    return Trim(entered) == Password;
}

TIpv4 TSysOption::ListenIpv4() const {
    const std::string text = Trim(ListenAddress);
    TIpv4 address = 0;
    if (!text.empty() && !ParseIpv4(text, address))
        throw Exception(FormatText("'%s' is not a valid IPv4 address (ListenAddress)", {text}));
    return address;
}

bool TSysOption::DailyLogFiles() const {
    const std::string value = Trim(LogRollover);
    if (value.empty() || SameText(value, "None"))
        return false;
    if (SameText(value, "Daily"))
        return true;
    throw Exception(
        FormatText("'%s' is not a valid log rollover, Daily or None (LogRollover)", {Trim(LogRollover)}));
}

namespace {

// A comma-separated list of addresses and ranges; raises naming the entry and the key.
std::vector<TIpv4Range> RangeList(const std::string& list, const char* key) {
    std::vector<TIpv4Range> ranges;
    if (Trim(list).empty())
        return ranges;
    // An empty entry is an error as well: a list of nothing but commas must not mean everyone.
    std::string_view rest = list;
    for (;;) {
        size_t comma = rest.find(',');
        const std::string entry = Trim(rest.substr(0, comma));
        TIpv4Range range;
        if (!ParseIpv4Range(entry, range)) {
            // An empty entry is named by the whole list, so that the administrator can find it.
            const std::string named = entry.empty() ? Trim(list) : entry;
            throw Exception(FormatText("'%s' is not a valid IPv4 address or range (%s)", {named, key}));
        }
        ranges.push_back(range);
        if (comma == std::string_view::npos)
            return ranges;
        rest.remove_prefix(comma + 1);
    }
}

} // namespace

std::vector<TIpv4Range> TSysOption::AllowedClientRanges() const {
    return RangeList(AllowedClients, "AllowedClients");
}

bool TSysOption::MonitorEndpoint(TIpv4& address, int& port) const {
    const std::string text = Trim(MonitorAddress);
    if (text.empty())
        return false;
    if (!ParseIpv4Endpoint(text, address, port))
        throw Exception(FormatText("'%s' is not a valid IPv4 address and port (MonitorAddress)", {text}));
    return true;
}

std::vector<TIpv4Range> TSysOption::MonitorClientRanges() const {
    std::vector<TIpv4Range> ranges = RangeList(MonitorClients, "MonitorClients");
    if (ranges.empty()) {
        // Unset: this computer only, never everyone (the metrics name the hotel's clients' numbers).
        TIpv4Range loopback;
        ParseIpv4Range("127.0.0.0/8", loopback);
        ranges.push_back(loopback);
    }
    return ranges;
}
