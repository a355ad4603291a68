#include "LoadgenOptionsUnit.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

void PrintUsage(const char* program) {
    std::printf(
        "Usage: %s [options]\n"
        "  --seconds S        measured seconds per scenario (default 3)\n"
        "  --warmup S         warm-up seconds before each measurement (default 0.5)\n"
        "  --clients LIST     client counts, comma separated (default 1,8,64)\n"
        "  --idle N           idle connections held open during the idle check (default 1000)\n"
        "  --rounds N         the ReadCard verdict is the median ratio of N paired 1 s runs at 8 clients,\n"
        "                     bare server and host in turns (default 5; 0: the ratio of the table's runs)\n"
        "  --host PATH        doorlock-host to run (default: the one next to this program)\n"
        "  --host-nofile N    soft descriptor limit the host is started with (default 1024, the usual\n"
        "                     one of a login session; 0: the one this tool was started with)\n"
        "  --report-only      print the targets' verdicts but exit 0 even when one fails\n"
        "  --tls              instead: ReadCard at 8 clients over plain TCP, over TLS with client\n"
        "                     certificates (a full handshake per request) and over TLS resuming the\n"
        "                     client's last session (target: 1,000 requests/s resumed)\n"
        "  --soak MINUTES     instead: mixed requests for that long; the host's memory, descriptors and\n"
        "                     threads every minute (fails when memory grew by more than 5%% in the second\n"
        "                     half, descriptors or threads beyond the connections in flight, or more of\n"
        "                     them than at the start once the host has been idle for 35 s)\n"
        "  --soak-clients N   clients of the soak (default 16)\n"
        "  --soak-rate R      requests per second of all soak clients together (default 200)\n",
        program);
}

std::vector<int> ParseList(const std::string& text) {
    std::vector<int> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ','))
        if (!item.empty())
            values.push_back(std::stoi(item));
    return values;
}

} // namespace

void ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--seconds")
            options.seconds = std::stod(next());
        else if (arg == "--warmup")
            options.warmup = std::stod(next());
        else if (arg == "--clients")
            options.clients = ParseList(next());
        else if (arg == "--idle")
            options.idle = std::stoi(next());
        else if (arg == "--rounds")
            options.rounds = std::stoi(next());
        else if (arg == "--host")
            options.hostProgram = next();
        else if (arg == "--host-nofile")
            options.hostNofile = std::stol(next());
        else if (arg == "--report-only")
            options.reportOnly = true;
        else if (arg == "--tls")
            options.tls = true;
        else if (arg == "--soak")
            options.soakMinutes = std::stod(next());
        else if (arg == "--soak-clients")
            options.soakClients = std::stoi(next());
        else if (arg == "--soak-rate")
            options.soakRate = std::stod(next());
        else if (arg == "--help" || arg == "-h") {
            PrintUsage(argv[0]);
            std::exit(0);
        } else
            throw std::runtime_error("unknown argument " + arg + " (see --help)");
    }
    if (options.clients.empty() || options.seconds <= 0 || options.warmup < 0 || options.idle < 0 ||
        options.rounds < 0 || options.soakMinutes < 0 || options.soakClients <= 0 || options.soakRate <= 0)
        throw std::runtime_error("bad option value (see --help)");
}
