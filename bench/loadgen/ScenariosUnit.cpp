#include "ScenariosUnit.h"

#include "BaselineServerUnit.h"
#include "BenchHostUnit.h"
#include "FloodUnit.h"
#include "ListenQueueUnit.h"
#include "LoadgenOptionsUnit.h"
#include "ReportUnit.h"

#include "platform/TlsUnit.h"
#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

const char* const BaselineTarget = "baseline (bare server)";
const char* const HostReadTarget = "host ReadCard";

TRunResult ReadCard(const char* target, int port, int clients, double warmup, double seconds) {
    return RunLoad(target, port, ReadCardRequest, ReadCardResponse, clients, warmup, seconds);
}

// Side by side per client count, so that a change in the machine's load hits both alike.
void RunReadTable(const TOptions& options, const TBenchHost& host, const TBaselineServer& baseline,
                  TReadResults& read) {
    for (int clients : options.clients) {
        TRunResult base = ReadCard(BaselineTarget, baseline.Port(), clients, options.warmup, options.seconds);
        PrintRow(base);
        TRunResult onHost = ReadCard(HostReadTarget, host.Port(), clients, options.warmup, options.seconds);
        PrintRow(onHost);
        if (clients == 8) {
            read.baseAt8 = base;
            read.hostAt8 = onHost;
        }
        read.runs.push_back(base);
        read.runs.push_back(onHost);
    }
}

// The machine's load drifts over seconds, and one pair of runs gives a ratio that swings with it. Short runs
// in turns, each pair in the opposite order to the one before, see the same drift.
void RunPairedRounds(const TOptions& options, const TBenchHost& host, const TBaselineServer& baseline,
                     TReadResults& read) {
    std::printf(
        "\nReadCard at 8 clients, %d paired runs of 1 s, bare server and host in turns; per pair the host's "
        "rate / the bare server's (req/s):\n ",
        options.rounds);
    for (int round = 0; round < options.rounds; ++round) {
        auto once = [&](bool onHost) {
            return onHost ? ReadCard(HostReadTarget, host.Port(), 8, 0.2, 1.0)
                          : ReadCard(BaselineTarget, baseline.Port(), 8, 0.2, 1.0);
        };
        const bool hostFirst = round % 2 == 1;
        TRunResult first = once(hostFirst);
        TRunResult second = once(!hostFirst);
        const TRunResult& base = hostFirst ? second : first;
        const TRunResult& onHost = hostFirst ? first : second;
        const double ratio = base.Rate() > 0 ? onHost.Rate() / base.Rate() : 0;
        read.pairedRatios.push_back(ratio);
        read.runs.push_back(first);
        read.runs.push_back(second);
        std::printf(" %.2f (%s/%s)", ratio, Thousands(onHost.Rate()).c_str(), Thousands(base.Rate()).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

void PrintResumed(const TRunResult& run) {
    std::printf("    handshakes that resumed a session: %llu of %llu answered\n",
                static_cast<unsigned long long>(run.resumed), static_cast<unsigned long long>(run.answered));
}

TIdleResult RunIdleCheck(const TBenchHost& host, const TOptions& options) {
    TIdleResult idle;
    idle.before = ReadProcessStats(host.Pid());
    std::vector<TLoopbackClient> sockets;
    sockets.reserve(static_cast<size_t>(options.idle));
    TListenQueueProbe queue;
    for (int i = 0; i < options.idle; ++i) {
        // Connects one after another outrun the host's accepts (one whose SYN finds the queue full is made a
        // second later, and the host's request deadline counts from the accept): room in the queue first.
        const auto roomBy = Clock::now() + std::chrono::seconds(2);
        while (ConnectRoom(1, 0, queue.Read(host.Port()), 3) == 0 && Clock::now() < roomBy)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        TLoopbackClient client(ReplyTimeout);
        // From the flood's addresses, as many from each as the host lets one address hold, and none from
        // the clients' 127.0.0.1, which the host would otherwise refuse.
        if (client.Connect(host.Port(), nullptr, FloodSourceAddress(i, options.perAddress).c_str()))
            sockets.push_back(std::move(client));
        else
            ++idle.connectFailures;
    }
    idle.opened = static_cast<int>(sockets.size());
    // Each accepted connection holds a descriptor of the host, whether or not a thread waits on it. Soon: the
    // host's request deadline (30 s) closes them from their accept on.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (ReadProcessStats(host.Pid()).fds >= idle.before.fds + idle.opened) {
            idle.allServed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    idle.during = ReadProcessStats(host.Pid());
    idle.load = RunLoad("ReadCard + " + std::to_string(idle.opened) + " idle", host.Port(), ReadCardRequest,
                        ReadCardResponse, options.idleClients, options.warmup, options.seconds);
    // Still open: nothing to read and no end of stream.
    for (const TLoopbackClient& client : sockets)
        if (client.HasInput())
            ++idle.closedByHost;
    sockets.clear();
    deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && ReadProcessStats(host.Pid()).fds > idle.before.fds)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle.after = ReadProcessStats(host.Pid());
    return idle;
}

} // namespace

TReadResults RunReadScenarios(const TOptions& options, long hostSoft) {
    TReadResults read;
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft);
    std::printf("host started with a soft descriptor limit of %ld runs with %s\n\n", hostSoft,
                DescriptorLimit(host.Pid()).c_str());
    PrintHeader();
    TBaselineServer baseline(ReadCardResponse);
    RunReadTable(options, host, baseline, read);
    if (read.hostAt8 && options.rounds > 0)
        RunPairedRounds(options, host, baseline, read);
    if (options.idle > 0) {
        read.idle = RunIdleCheck(host, options);
        PrintRow(read.idle->load);
        read.runs.push_back(read.idle->load);
    }
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (ReadCard) exit status %d: %s\n", status, host.Errors().c_str());
    return read;
}

TIssueResults RunIssueScenarios(const TOptions& options, long hostSoft, const std::string& server) {
    const char* label = server.empty() ? "host IssueCard, records on" : "host IssueCard, PostgreSQL";
    TIssueResults result;
    TBenchHost host(options.hostProgram,
                    "SaveDoorlockRecord=1\r\n" + (server.empty() ? "" : "Database=" + server + "\r\n"),
                    hostSoft);
    for (int clients : options.clients) {
        TRunResult issue = RunLoad(label, host.Port(), IssueCardRequest, IssueCardResponse, clients,
                                   options.warmup, options.seconds);
        PrintRow(issue);
        result.answered += issue.answered;
        result.runs.push_back(issue);
    }
    const TProcessStats memory = ReadProcessStats(host.Pid());
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (%s) exit status %d: %s\n", label, status, host.Errors().c_str());
    result.rows = CountIssueRecords(host, server);
    std::printf("\n%s: %s\n", label, FormatMemory(memory).c_str());
    std::printf("issue records stored: %ld for %llu issues answered\n\n", result.rows,
                static_cast<unsigned long long>(result.answered));
    return result;
}

TTlsResults RunTlsScenarios(const TOptions& options, long hostSoft) {
    TSandbox certificates;
    const std::string dir = certificates.Path().string();
    const std::string command =
        "bash '" DOORLOCK_SOURCE_DIR "/scripts/make-certs.sh' '" + dir + "' 127.0.0.1 >/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("scripts/make-certs.sh failed");
    auto file = [&](const char* name) { return (certificates.Path() / name).string(); };
    TTlsResults result;
    PrintHeader();
    {
        TBenchHost plainHost(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft);
        result.plain =
            ReadCard("host ReadCard, plain TCP", plainHost.Port(), 8, options.warmup, options.seconds);
        PrintRow(*result.plain);
        plainHost.Stop();
    }
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft,
                    "TlsCertificate=" + file("host.pem") + "\r\nTlsPrivateKey=" + file("host.key") +
                        "\r\nTlsClientCA=" + file("ca.pem") + "\r\n");
    TTlsLoad tls{TTlsContext::ForClient(file("ca.pem"), file("client.pem"), file("client.key")), false};
    result.full = RunLoad("host ReadCard, TLS full", host.Port(), ReadCardRequest, ReadCardResponse, 8,
                          options.warmup, options.seconds, &tls);
    PrintRow(*result.full);
    PrintResumed(*result.full);
    tls.resume = true;
    result.resumed = RunLoad("host ReadCard, TLS resumed", host.Port(), ReadCardRequest, ReadCardResponse, 8,
                             options.warmup, options.seconds, &tls);
    PrintRow(*result.resumed);
    PrintResumed(*result.resumed);
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (TLS) exit status %d: %s\n", status, host.Errors().c_str());
    result.runs = {*result.plain, *result.full, *result.resumed};
    return result;
}

void PrintIdle(const TIdleResult& idle) {
    std::printf(
        "\nIdle connections: %d opened (%d failed), %s by the host, %d closed by the host meanwhile\n",
        idle.opened, idle.connectFailures, idle.allServed ? "all accepted" : "NOT all accepted",
        idle.closedByHost);
    std::printf("  host before:            %s\n", FormatMemory(idle.before).c_str());
    std::printf("  host with %4d idle:     %s\n", idle.opened, FormatMemory(idle.during).c_str());
    std::printf("  host after closing them: %s\n", FormatMemory(idle.after).c_str());
}
