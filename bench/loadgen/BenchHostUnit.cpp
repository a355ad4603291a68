#include "BenchHostUnit.h"

#include "records/DoorlockRecordStoreUnit.h"

#include <soci/soci.h>

#include <cstdio>
#include <fstream>
#include <sstream>

TBenchHost::TBenchHost(const std::string& program, const std::string& doorlockOptions, long nofileSoft,
                       const std::string& sysOptions, long nofileHard)
    : m_host(StartDoorlockHost(program, m_dir.Path().string(), doorlockOptions, m_port, sysOptions, true,
                               {.nofileSoft = nofileSoft, .nofileHard = nofileHard})) {}

long CountIssueRecords(const TBenchHost& host, const std::string& server) {
    try {
        soci::session session(server.empty() ? "sqlite3" : "postgresql",
                              server.empty() ? "db=\"" + (host.Dir() / "Client.db").string() + "\""
                                             : ParsePostgresConninfo(server).KeywordForm);
        long count = -1;
        session << "select count(*) from T_IssueCardRecord", soci::into(count);
        return count;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot count the issue records%s: %s\n", server.empty() ? "" : " on the server",
                     e.what());
        return -1;
    }
}

std::string FormatMemory(const TProcessStats& memory) {
    char text[160];
    std::snprintf(text, sizeof text, "VmRSS %6.1f MiB  VmHWM %6.1f MiB  threads %5ld  descriptors %5ld",
                  static_cast<double>(memory.rssKb) / 1024, static_cast<double>(memory.hwmKb) / 1024,
                  memory.threads, memory.fds);
    return text;
}

std::string DescriptorLimits(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft, hard;
            fields >> soft >> hard;
            return soft + "/" + hard;
        }
    }
    return "?";
}
