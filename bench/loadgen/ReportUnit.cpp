#include "ReportUnit.h"

#include "LoadRunUnit.h"

#include "support/TestSupport.h"

#include <cstdio>

std::string LoadAverage() {
    std::string text = ReadFileBytes("/proc/loadavg");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string Thousands(double value) {
    std::string digits = std::to_string(static_cast<long long>(value + 0.5));
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

void PrintHeader() {
    std::printf("%-28s %7s %9s %9s %8s %8s %8s %7s %11s %9s\n", "scenario", "clients", "requests", "req/s",
                "p50 ms", "p99 ms", "max ms", "errors", "TIME_WAIT", "overflow");
    std::printf("%s\n", std::string(28 + 7 + 9 + 9 + 8 + 8 + 8 + 7 + 11 + 9 + 9, '-').c_str());
}

void PrintRow(const TRunResult& r) {
    char timeWait[32];
    std::snprintf(timeWait, sizeof timeWait, "%d/%d", r.serverTimeWait, r.clientTimeWait);
    std::printf("%-28s %7d %9llu %9s %8.2f %8.2f %8.2f %7llu %11s %9ld\n", r.target.c_str(), r.clients,
                static_cast<unsigned long long>(r.requests), Thousands(r.Rate()).c_str(), r.p50Ms, r.p99Ms,
                r.maxMs, static_cast<unsigned long long>(r.errors), timeWait, r.listenOverflows);
    for (const auto& sample : r.errorSamples)
        std::printf("    error: %s\n", sample.c_str());
    std::fflush(stdout);
}

int PrintVerdicts(const std::vector<TVerdict>& verdicts, bool reportOnly) {
    std::printf("\nload average at end: %s\n\n", LoadAverage().c_str());
    bool allPass = true;
    for (const auto& verdict : verdicts) {
        std::printf("%s  %s\n", verdict.pass ? "PASS" : "FAIL", verdict.text.c_str());
        allPass = allPass && verdict.pass;
    }
    if (!allPass && reportOnly)
        std::printf("(report only: exit status 0)\n");
    return allPass || reportOnly ? 0 : 1;
}
