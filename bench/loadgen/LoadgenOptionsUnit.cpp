#include "LoadgenOptionsUnit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

void PrintUsage(const char* program) {
    std::printf(
        "Usage: %s [options]\n"
        "  --seconds S        measured seconds per scenario (default 3)\n"
        "  --warmup S         warm-up seconds before each measurement (default 0.5)\n"
        "  --clients LIST     client counts, comma separated (default 1,8,64)\n"
        "  --idle N           idle connections held open during the idle check (default 1000), as many\n"
        "                     from each address as --per-address allows\n"
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
        "  --soak-rate R      requests per second of all soak clients together (default 200)\n"
        "  --scenario LIST    instead: these scenarios, comma separated, in this order whatever the list's:\n"
        "                       table     ReadCard and IssueCard with records at each client count next to\n"
        "                                 the bare server, the paired ReadCard ratio at 8 clients, and the "
        "idle\n"
        "                                 check (the default when no scenario is named)\n"
        "                       hold      --hold-connections connections that each send one byte and stay,\n"
        "                                 --per-address from each of 127.0.0.10 onwards: how many the host\n"
        "                                 holds, its VmRSS and threads\n"
        "                       flood     the same flood, each connection made again when the host closes\n"
        "                                 it, while 127.0.0.2 sends IssueCard --flood-issues times: each\n"
        "                                 answer time and how many came within 1 s\n"
        "                       fairness  the fake encoder library with --operation-ms per card operation;\n"
        "                                 20 addresses with 10 clients each send ReadCard in a loop, one "
        "more\n"
        "                                 address with one client too: its p50 and p99\n"
        "                       tls       as --tls\n"
        "                     hold and flood start the host with soft descriptor limit --host-nofile\n"
        "                     under hard limit --host-nofile-hard, and MaxReadingConnections above the "
        "flood\n"
        "  --hold-connections N  connections of hold and flood (default 10000)\n"
        "  --per-address N    of them from each source address (default 64, the host's\n"
        "                     MaxConnectionsPerClient)\n"
        "  --flood-issues N   IssueCard requests of the allowed client during the flood (default 20)\n"
        "  --fairness-seconds S  how long the fairness clients send (default 20)\n"
        "  --operation-ms MS  time of every card operation of the fake encoder in fairness (default 20)\n"
        "  --encoder-library PATH  the fake encoder library of fairness (default: the build's)\n"
        "  --host-nofile-hard N  hard descriptor limit of the host of hold and flood (default 20000)\n",
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

const char* const ScenarioNames[] = {"table", "hold", "flood", "fairness", "tls"};

} // namespace

TScenario ScenarioNamed(const std::string& name) {
    for (size_t i = 0; i < std::size(ScenarioNames); ++i)
        if (name == ScenarioNames[i])
            return static_cast<TScenario>(i);
    throw std::runtime_error("unknown scenario " + name + " (see --help)");
}

const char* ScenarioName(TScenario scenario) {
    return ScenarioNames[static_cast<size_t>(scenario)];
}

bool Includes(const TOptions& options, TScenario scenario) {
    if (options.scenarios.empty())
        return scenario == (options.tls ? TScenario::Tls : TScenario::Table);
    return std::find(options.scenarios.begin(), options.scenarios.end(), scenario) != options.scenarios.end();
}

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
        else if (arg == "--scenario") {
            std::stringstream stream(next());
            std::string name;
            while (std::getline(stream, name, ','))
                if (!name.empty())
                    options.scenarios.push_back(ScenarioNamed(name));
        } else if (arg == "--hold-connections")
            options.holdConnections = std::stoi(next());
        else if (arg == "--per-address")
            options.perAddress = std::stoi(next());
        else if (arg == "--flood-issues")
            options.floodIssues = std::stoi(next());
        else if (arg == "--fairness-seconds")
            options.fairnessSeconds = std::stod(next());
        else if (arg == "--operation-ms")
            options.operationMs = std::stoi(next());
        else if (arg == "--encoder-library")
            options.encoderLibrary = next();
        else if (arg == "--host-nofile-hard")
            options.hostNofileHard = std::stol(next());
        else if (arg == "--help" || arg == "-h") {
            PrintUsage(argv[0]);
            std::exit(0);
        } else
            throw std::runtime_error("unknown argument " + arg + " (see --help)");
    }
    if (options.clients.empty() || options.seconds <= 0 || options.warmup < 0 || options.idle < 0 ||
        options.rounds < 0 || options.soakMinutes < 0 || options.soakClients <= 0 || options.soakRate <= 0 ||
        options.holdConnections <= 0 || options.perAddress <= 0 || options.floodIssues <= 0 ||
        options.fairnessSeconds <= 0 || options.operationMs < 0 || options.hostNofileHard < 0)
        throw std::runtime_error("bad option value (see --help)");
    if (options.tls && !options.scenarios.empty())
        options.scenarios.push_back(TScenario::Tls);
    std::sort(options.scenarios.begin(), options.scenarios.end());
    options.scenarios.erase(std::unique(options.scenarios.begin(), options.scenarios.end()),
                            options.scenarios.end());
}
