#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TOptions;

// A slow encoder shared by many: busy addresses with several clients each send ReadCard in a loop, and one
// more address with a single client does the same. Each card operation holds the device for a while, so the
// lone address's answer time shows whether the host gives each address its turn or serves connections in
// the order they queue.
struct TFairnessResult {
    int busyAddresses = 0;
    int clientsPerAddress = 0;
    int operationMs = 0;
    double seconds = 0;
    std::vector<uint64_t> busyAnswers; // per busy address, answered in the measured window
    uint64_t loneAnswers = 0;
    double loneP50Ms = 0, loneP99Ms = 0, loneMaxMs = 0;
    double busyP50Ms = 0, busyP99Ms = 0;
    uint64_t errors = 0;
    std::vector<std::string> errorSamples;
};
TFairnessResult RunFairnessScenario(const TOptions& options, long hostSoft);
void PrintFairness(const TFairnessResult& fairness);

// The share of all answers the lone address got, and the share a fair turn per address would give it.
double LoneShare(const TFairnessResult& fairness);
double FairShare(const TFairnessResult& fairness);
