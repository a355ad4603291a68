#pragma once

#include <string>
#include <vector>

// The scenarios that can be asked for by name.
enum class TScenario { Table, Hold, Flood, Fairness, Tls };
// The scenario of a name (table, hold, flood, fairness, tls); raises for any other.
TScenario ScenarioNamed(const std::string& name);
const char* ScenarioName(TScenario scenario);

// What the command line asks for.
struct TOptions {
    double seconds = 3.0;
    double warmup = 0.5;
    std::vector<int> clients{1, 8, 64};
    int idle = 1000;
    // The ReadCard verdict: the median ratio of this many short paired runs at 8 clients.
    int rounds = 5;
    int idleClients = 8;
    bool reportOnly = false;
    // Only the TLS comparison: plain TCP, TLS with a full handshake, TLS resumed.
    bool tls = false;
    // The scenarios asked for by name (--scenario), in the order of TScenario; none: the table of ReadCard
    // and IssueCard with the idle check (or --tls alone).
    std::vector<TScenario> scenarios;
    // hold and flood: connections that send one byte and stay, this many from each loopback address.
    int holdConnections = 10000;
    int perAddress = 64;
    // flood: the allowed client's IssueCard requests, each timed.
    int floodIssues = 20;
    // fairness: how long the busy addresses and the lone one send ReadCard, and what each card operation
    // costs on the fake encoder.
    double fairnessSeconds = 20;
    int operationMs = 20;
    // The fake encoder library the fairness scenario loads into the host (default: the build's).
    std::string encoderLibrary;
    std::string hostProgram;
    // The soft descriptor limit the host is started with: the usual default of a login session, so that the
    // idle check also shows whether the host raises its own.
    long hostNofile = 1024;
    // The hard descriptor limit of the host of hold and flood, as production machines set it.
    long hostNofileHard = 20000;
    // Soak instead of the benchmark: minutes of mixed requests at a bounded rate.
    double soakMinutes = 0;
    int soakClients = 16;
    double soakRate = 200;
};

// Whether the run includes the scenario: one named by --scenario, or the table when none is named (--tls
// alone names tls).
bool Includes(const TOptions& options, TScenario scenario);

// Fills options from the command line; raises on a bad one. --help prints the usage and exits.
void ParseOptions(int argc, char** argv, TOptions& options);
