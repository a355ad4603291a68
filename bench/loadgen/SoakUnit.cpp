#include "SoakUnit.h"

#include "BenchHostUnit.h"
#include "LoadRunUnit.h"
#include "LoadgenOptionsUnit.h"
#include "ReportUnit.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TSoakRequest {
    std::string wire;
    std::string answerStart; // "" for a request the host closes without an answer
};

std::vector<TSoakRequest> SoakRequests() {
    const std::string answer = "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>";
    std::string copy = IssueCardRequest;
    copy.replace(copy.find("<IsCopy>0"), 9, "<IsCopy>1");
    return {{ReadCardRequest + Nul, answer},
            {IssueCardRequest + Nul, answer},
            {copy + Nul, answer},
            {"<DoorRequest type=\"EraseCard\"></DoorRequest>" + Nul, answer},
            {"not xml" + Nul, ""},
            {"<r type=\"ReadCard\"/>\xC4" + Nul, ""}};
}

constexpr std::chrono::seconds SoakSettleTime{35};

double Growth(long start, long end) {
    return start > 0 ? 100.0 * static_cast<double>(end - start) / static_cast<double>(start) : 0;
}

} // namespace

int RunSoak(const TOptions& options, long hostSoft) {
    const auto requests = SoakRequests();
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=1\r\nUseNativeDoorlockDb=1\r\n", hostSoft);
    std::printf("soak: %g min, %d clients, %g requests/s in all; load average %s\n", options.soakMinutes,
                options.soakClients, options.soakRate, LoadAverage().c_str());
    std::atomic<uint64_t> answered{0}, errors{0};
    std::atomic<bool> stop{false};
    std::mutex sampleLock;
    std::vector<std::string> errorSamples;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.soakClients / options.soakRate));
    std::vector<std::thread> clients;
    for (int c = 0; c < options.soakClients; ++c) {
        clients.emplace_back([&, c] {
            TExchange exchange;
            auto next = Clock::now() + interval * c / options.soakClients;
            for (size_t n = static_cast<size_t>(c); !stop; ++n) {
                std::this_thread::sleep_until(next);
                next += interval;
                const TSoakRequest& request = requests[n % requests.size()];
                Exchange(host.Port(), request.wire, "", exchange);
                const bool ok =
                    (exchange.outcome == TOutcome::Ok || exchange.outcome == TOutcome::WrongResponse) &&
                    (request.answerStart.empty() ? exchange.received.empty()
                                                 : exchange.received.rfind(request.answerStart, 0) == 0);
                if (ok) {
                    ++answered;
                    continue;
                }
                ++errors;
                std::lock_guard guard(sampleLock);
                if (errorSamples.size() < 5)
                    errorSamples.push_back(Describe(exchange));
            }
        });
    }
    // The start is taken once the first minute has warmed every cache and pool up.
    const auto begin = Clock::now();
    const auto total = std::chrono::duration<double>(options.soakMinutes * 60);
    const auto warm = std::min<std::chrono::duration<double>>(std::chrono::seconds(60), total / 10);
    std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(warm));
    const TProcessStats start = ReadProcessStats(host.Pid());
    std::printf("start  %s\n", FormatMemory(start).c_str());
    std::fflush(stdout);
    TProcessStats end = start;
    // Caches (SQLite's pages, the allocator's arenas) fill up to their bounds in the first minutes; a leak
    // keeps growing, so the verdict compares the middle of the run with its end.
    TProcessStats middle = start;
    bool middleTaken = false;
    for (int minute = 1;; ++minute) {
        const auto at =
            begin + std::chrono::duration_cast<Clock::duration>(warm) + std::chrono::minutes(minute);
        const auto finish = begin + std::chrono::duration_cast<Clock::duration>(total);
        std::this_thread::sleep_until(std::min(at, finish));
        end = ReadProcessStats(host.Pid());
        if (!middleTaken && Clock::now() - begin >= total / 2) {
            middle = end;
            middleTaken = true;
        }
        std::printf("%5.1f min  %s  answered %llu  errors %llu\n",
                    std::chrono::duration<double>(Clock::now() - begin).count() / 60,
                    FormatMemory(end).c_str(), static_cast<unsigned long long>(answered.load()),
                    static_cast<unsigned long long>(errors.load()));
        std::fflush(stdout);
        if (at >= finish)
            break;
    }
    stop = true;
    for (auto& client : clients)
        client.join();
    // The host keeps the threads that served the busiest moment while requests keep coming, and ends those
    // beyond one after 30 s without a connection: once they are gone, nothing of the run may be left.
    std::this_thread::sleep_for(SoakSettleTime);
    const TProcessStats settled = ReadProcessStats(host.Pid());
    const int status = host.Stop();
    for (const auto& sample : errorSamples)
        std::printf("    error: %s\n", sample.c_str());
    std::printf("start  %s\nmiddle %s\nend    %s\nsettled %s (%lld s after the last request)\n",
                FormatMemory(start).c_str(), FormatMemory(middle).c_str(), FormatMemory(end).c_str(),
                FormatMemory(settled).c_str(), static_cast<long long>(SoakSettleTime.count()));
    std::printf(
        "VmRSS %+.1f%% from the start, %+.1f%% from the middle; host exit status %d; load average %s\n",
        Growth(start.rssKb, end.rssKb), Growth(middle.rssKb, end.rssKb), status, LoadAverage().c_str());
    // The number of threads and descriptors moves with the connections in flight at the moment of reading.
    const bool pass = errors == 0 && status == 0 && Growth(middle.rssKb, end.rssKb) <= 5 &&
                      end.fds <= start.fds + options.soakClients &&
                      end.threads <= start.threads + options.soakClients && settled.fds <= start.fds &&
                      settled.threads <= start.threads;
    std::printf("%s  soak: %llu answered, %llu errors\n", pass ? "PASS" : "FAIL",
                static_cast<unsigned long long>(answered.load()),
                static_cast<unsigned long long>(errors.load()));
    return pass ? 0 : 1;
}
