#pragma once

#include <string>
#include <vector>

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
    std::string hostProgram;
    // The soft descriptor limit the host is started with: the usual default of a login session, so that the
    // idle check also shows whether the host raises its own.
    long hostNofile = 1024;
    // Soak instead of the benchmark: minutes of mixed requests at a bounded rate.
    double soakMinutes = 0;
    int soakClients = 16;
    double soakRate = 200;
};

// Fills options from the command line; raises on a bad one. --help prints the usage and exits.
void ParseOptions(int argc, char** argv, TOptions& options);
