#include "VerdictsUnit.h"

#include "LoadgenOptionsUnit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The targets: "ReadCard" at 8 clients at least half the bare server's rate; "IssueCard" with records at
// least this many per second at the best client count.
constexpr double ReadCardTargetRatio = 0.5;
constexpr double IssueCardTargetRate = 1000.0;
constexpr double TlsResumedTargetRate = 1000.0;
constexpr double FloodAnswerLimitMs = 1000.0;

const TRunResult& Fastest(const std::vector<TRunResult>& runs) {
    return *std::max_element(runs.begin(), runs.end(),
                             [](const TRunResult& a, const TRunResult& b) { return a.Rate() < b.Rate(); });
}

bool OneRowPerIssue(const TIssueResults& issues) {
    return issues.rows >= 0 && static_cast<uint64_t>(issues.rows) == issues.answered;
}

const char* RowsText(const TIssueResults& issues) {
    return OneRowPerIssue(issues) ? "one record per issue" : "records do NOT match the issues";
}

} // namespace

TVerdict ReadCardVerdict(const TReadResults& read) {
    if (!read.hostAt8)
        return {false, "ReadCard at 8 clients: not measured (8 is not among --clients)"};
    char text[512];
    double ratio = read.baseAt8->Rate() > 0 ? read.hostAt8->Rate() / read.baseAt8->Rate() : 0;
    std::snprintf(
        text, sizeof text,
        "ReadCard at 8 clients: %s req/s = %.2f x the baseline's %s req/s (target: at least %.2f x)",
        Thousands(read.hostAt8->Rate()).c_str(), ratio, Thousands(read.baseAt8->Rate()).c_str(),
        ReadCardTargetRatio);
    if (!read.pairedRatios.empty()) {
        std::vector<double> sorted = read.pairedRatios;
        std::sort(sorted.begin(), sorted.end());
        const size_t middle = sorted.size() / 2;
        ratio = sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "; median of %zu paired runs %.2f x (%.2f to %.2f)",
                      sorted.size(), ratio, sorted.front(), sorted.back());
    }
    return {ratio >= ReadCardTargetRatio, text};
}

TVerdict IssueCardVerdict(const TIssueResults& issues) {
    const TRunResult& best = Fastest(issues.runs);
    char text[512];
    std::snprintf(text, sizeof text,
                  "IssueCard with records: best %s req/s at %d clients (target: at least %s req/s); %s",
                  Thousands(best.Rate()).c_str(), best.clients, Thousands(IssueCardTargetRate).c_str(),
                  RowsText(issues));
    return {best.Rate() >= IssueCardTargetRate && OneRowPerIssue(issues), text};
}

TVerdict ServerIssueCardVerdict(const TIssueResults& issues) {
    const TRunResult& best = Fastest(issues.runs);
    char text[512];
    std::snprintf(text, sizeof text, "IssueCard with records on PostgreSQL: best %s req/s at %d clients; %s",
                  Thousands(best.Rate()).c_str(), best.clients, RowsText(issues));
    return {OneRowPerIssue(issues), text};
}

TVerdict IdleVerdict(const TIdleResult& idle, const TOptions& options) {
    const bool pass = idle.opened == options.idle && idle.allServed && idle.closedByHost == 0 &&
                      idle.load.errors == 0 && idle.load.requests > 0;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%d idle connections held open while %d clients got %llu answers (%s req/s), %llu errors; "
                  "host VmRSS %.1f -> %.1f -> %.1f MiB",
                  idle.opened, options.idleClients, static_cast<unsigned long long>(idle.load.answered),
                  Thousands(idle.load.Rate()).c_str(), static_cast<unsigned long long>(idle.load.errors),
                  static_cast<double>(idle.before.rssKb) / 1024,
                  static_cast<double>(idle.during.rssKb) / 1024,
                  static_cast<double>(idle.after.rssKb) / 1024);
    return {pass, text};
}

TVerdict HoldVerdict(const THoldResult& hold) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "%d of %d idle connections held open from %d addresses; host VmRSS %.1f MiB, %ld threads",
                  hold.heldOpen, hold.wanted, hold.addresses, static_cast<double>(hold.during.rssKb) / 1024,
                  hold.during.threads);
    return {hold.heldOpen == hold.wanted, text};
}

TVerdict FloodVerdict(const TFloodResult& flood) {
    const int within = CountWithin(flood.answerMs, FloodAnswerLimitMs);
    char text[512];
    std::snprintf(text, sizeof text,
                  "IssueCard during a flood of %d connections: %d of %zu answered within 1 s", flood.flood,
                  within, flood.answerMs.size());
    return {!flood.answerMs.empty() && within == static_cast<int>(flood.answerMs.size()), text};
}

TVerdict TlsVerdict(const TTlsResults& tls) {
    const double rate = tls.resumed->Rate();
    char text[512];
    std::snprintf(
        text, sizeof text,
        "ReadCard over TLS, resumed, 8 clients: %s requests/s (target >= %s); %llu of %llu handshakes "
        "resumed",
        Thousands(rate).c_str(), Thousands(TlsResumedTargetRate).c_str(),
        static_cast<unsigned long long>(tls.resumed->resumed),
        static_cast<unsigned long long>(tls.resumed->answered));
    // A rate reached with full handshakes is no resumption's.
    return {rate >= TlsResumedTargetRate && tls.resumed->resumed * 10 >= tls.resumed->answered * 9, text};
}

TVerdict NoErrorsVerdict(uint64_t errors) {
    char text[512];
    std::snprintf(text, sizeof text, "Every request answered correctly: %llu errors in all scenarios",
                  static_cast<unsigned long long>(errors));
    return {errors == 0, text};
}

uint64_t ErrorCount(const std::vector<TRunResult>& runs) {
    uint64_t errors = 0;
    for (const TRunResult& run : runs)
        errors += run.errors;
    return errors;
}
