#pragma once

#include "LoadRunUnit.h"

#include "support/HostRunner.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TOptions;

// Idle connections held open on the host while requests go on.
struct TIdleResult {
    int opened = 0;
    int connectFailures = 0;
    bool allServed = false; // the host holds a descriptor for each
    int closedByHost = 0;
    TProcessStats before, during, after;
    TRunResult load;
};

// "ReadCard" on a host whose blank card stays blank, next to the bare server: a row of the table per client
// count for each, the paired runs at 8 clients and the idle check.
struct TReadResults {
    std::vector<TRunResult> runs; // every run, for the error count
    std::optional<TRunResult> baseAt8, hostAt8;
    std::vector<double> pairedRatios; // host / bare server
    std::optional<TIdleResult> idle;
};
TReadResults RunReadScenarios(const TOptions& options, long hostSoft);

// "IssueCard" with records on at every client count, in Client.db or, when server is not empty, on that
// PostgreSQL server; the rows the host stored, counted after it stopped.
struct TIssueResults {
    std::vector<TRunResult> runs;
    long rows = -1;
    uint64_t answered = 0;
};
TIssueResults RunIssueScenarios(const TOptions& options, long hostSoft, const std::string& server);

// "ReadCard" at 8 clients on a host over plain TCP and on one over TLS with client certificates, each TLS
// request a full handshake, then resuming the client's last session. Certificates are made with
// scripts/make-certs.sh; raises when it fails.
struct TTlsResults {
    std::vector<TRunResult> runs;
    std::optional<TRunResult> plain, full, resumed;
};
TTlsResults RunTlsScenarios(const TOptions& options, long hostSoft);

void PrintIdle(const TIdleResult& idle);
