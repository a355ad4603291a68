// Load generator for the real host: requests per second and latency of "ReadCard" and of "IssueCard" with the
// record store on, at several client counts, next to a bare server that only accepts, reads to the NUL and
// answers; then 1,000 idle connections held open while requests go on. By name besides: many thousand idle
// connections held, a flood of them while the hotel system issues cards, the turn a lone address gets at a
// slow encoder, and TLS with full and resumed handshakes. Every request is one connection, as
// the hotel system makes it. Linux only (it starts the host with fork/exec and reads /proc).
#include "FairnessUnit.h"
#include "FloodUnit.h"
#include "LoadgenOptionsUnit.h"
#include "ReportUnit.h"
#include "ScenariosUnit.h"
#include "SoakUnit.h"
#include "VerdictsUnit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The tool holds the idle connections and every client's socket at once: take the hard limit.
rlim_t RaiseDescriptorLimit(rlim_t& hard) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t original = limit.rlim_cur;
    hard = limit.rlim_max;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return original;
}

void PrintStart(const TOptions& options, rlim_t originalSoft, rlim_t hard, long hostSoft) {
    std::printf("doorlock-loadgen: %g s per scenario after %g s warm-up; one request per connection\n",
                options.seconds, options.warmup);
    std::printf("host: %s\n", options.hostProgram.c_str());
    std::printf(
        "descriptor limit: this tool %llu (raised from %llu), host started with soft %ld, hard %llu\n",
        static_cast<unsigned long long>(hard), static_cast<unsigned long long>(originalSoft), hostSoft,
        static_cast<unsigned long long>(hard));
    std::printf("cores: %u   load average at start: %s\n\n", std::thread::hardware_concurrency(),
                LoadAverage().c_str());
}

void PrintLegend() {
    std::printf(
        "TIME_WAIT: sockets in TIME_WAIT on the server's side / the clients' side of that port at the end of "
        "the scenario\n"
        "overflow: connections the kernel dropped at a full accept queue during the scenario (system-wide "
        "count; each such client sends its SYN again a second later)\n");
}

// The default table: ReadCard next to the bare server, IssueCard with records, the idle check.
void RunTable(const TOptions& options, long hostSoft, std::vector<TVerdict>& verdicts, uint64_t& errors) {
    const TReadResults read = RunReadScenarios(options, hostSoft);
    // Records on, in Client.db and, beside a server that scripts/with-postgres.sh started, on PostgreSQL (the
    // same run, so the figures compare).
    const TIssueResults issues = RunIssueScenarios(options, hostSoft, "");
    std::optional<TIssueResults> serverIssues;
    if (const char* server = std::getenv("DOORLOCK_TEST_PG"))
        serverIssues = RunIssueScenarios(options, hostSoft, server);
    PrintLegend();
    if (read.idle)
        PrintIdle(*read.idle);

    verdicts.push_back(ReadCardVerdict(read));
    verdicts.push_back(IssueCardVerdict(issues));
    if (serverIssues)
        verdicts.push_back(ServerIssueCardVerdict(*serverIssues));
    if (read.idle)
        verdicts.push_back(IdleVerdict(*read.idle, options));
    errors +=
        ErrorCount(read.runs) + ErrorCount(issues.runs) + (serverIssues ? ErrorCount(serverIssues->runs) : 0);
}

// The scenarios asked for, in order, each printing what it measured; then the verdicts; the exit status.
int Run(const TOptions& options, rlim_t originalSoft, rlim_t hard) {
    const long hostSoft = options.hostNofile > 0 ? std::min<long>(options.hostNofile, static_cast<long>(hard))
                                                 : static_cast<long>(originalSoft);
    if (options.soakMinutes > 0)
        return RunSoak(options, hostSoft);
    PrintStart(options, originalSoft, hard, hostSoft);
    std::vector<TVerdict> verdicts;
    uint64_t errors = 0;
    if (Includes(options, TScenario::Table))
        RunTable(options, hostSoft, verdicts, errors);
    if (Includes(options, TScenario::Hold)) {
        const THoldResult hold = RunHoldScenario(options, hostSoft);
        PrintHold(hold);
        verdicts.push_back(HoldVerdict(hold));
    }
    if (Includes(options, TScenario::Flood)) {
        const TFloodResult flood = RunFloodScenario(options, hostSoft);
        PrintFlood(flood);
        verdicts.push_back(FloodVerdict(flood));
    }
    if (Includes(options, TScenario::Fairness)) {
        const TFairnessResult fairness = RunFairnessScenario(options, hostSoft);
        PrintFairness(fairness);
        errors += fairness.errors;
    }
    if (Includes(options, TScenario::Tls)) {
        const TTlsResults tls = RunTlsScenarios(options, hostSoft);
        verdicts.push_back(TlsVerdict(tls));
        errors += ErrorCount(tls.runs);
    }
    verdicts.push_back(NoErrorsVerdict(errors));
    return PrintVerdicts(verdicts, options.reportOnly);
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    try {
        ParseOptions(argc, argv, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "doorlock-loadgen: %s\n", e.what());
        return 2;
    }
    if (options.hostProgram.empty()) {
        std::error_code ec;
        fs::path self = fs::read_symlink("/proc/self/exe", ec);
        options.hostProgram = ((ec ? fs::absolute(argv[0]) : self).parent_path() / "doorlock-host").string();
    }
    rlim_t hard = 0;
    rlim_t originalSoft = RaiseDescriptorLimit(hard);
    try {
        return Run(options, originalSoft, hard);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "doorlock-loadgen: %s\n", e.what());
        return 2;
    }
}
