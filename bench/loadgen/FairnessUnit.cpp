#include "FairnessUnit.h"

#include "BenchHostUnit.h"
#include "FloodUnit.h"
#include "LoadRunUnit.h"
#include "LoadgenOptionsUnit.h"

#include "support/LoopbackClient.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>

namespace {

constexpr int BusyAddresses = 20;
constexpr int ClientsPerBusyAddress = 10;
// Every client waits behind all the others for the one device: far longer than a plain request.
constexpr std::chrono::seconds FairnessReplyTimeout(120);

// One ReadCard from an address: the answer, or empty with the reason in error.
std::string ReadCardFrom(int port, const std::string& from, std::string& error) {
    TLoopbackClient client(FairnessReplyTimeout);
    std::string received;
    if (!client.Connect(port, nullptr, from.c_str()))
        error = "connect from " + from + ": " + client.ErrorText();
    else if (!client.Send(ReadCardRequest + Nul))
        error = "send from " + from + ": " + client.ErrorText();
    else if (client.ReadToClose(&received, 4096) != TReadEnd::Closed)
        error = "receive from " + from + ": " + client.ErrorText();
    return received;
}

std::string EncoderLibrary(const TOptions& options) {
    if (!options.encoderLibrary.empty())
        return options.encoderLibrary;
#ifdef FAKE_CARDENC_PATH
    return FAKE_CARDENC_PATH;
#else
    throw std::runtime_error("fairness needs --encoder-library (this build has no fake encoder library)");
#endif
}

} // namespace

double LoneShare(const TFairnessResult& fairness) {
    const uint64_t all =
        std::accumulate(fairness.busyAnswers.begin(), fairness.busyAnswers.end(), fairness.loneAnswers);
    return all > 0 ? static_cast<double>(fairness.loneAnswers) / static_cast<double>(all) : 0;
}

double FairShare(const TFairnessResult& fairness) {
    return 1.0 / static_cast<double>(fairness.busyAddresses + 1);
}

TFairnessResult RunFairnessScenario(const TOptions& options, long hostSoft) {
    TFairnessResult result;
    result.busyAddresses = BusyAddresses;
    result.clientsPerAddress = ClientsPerBusyAddress;
    result.operationMs = options.operationMs;
    result.seconds = options.fairnessSeconds;
    result.busyAnswers.assign(BusyAddresses, 0);
    // The host's encoder library reads the delay at each call from the environment it started with.
    const std::string library = EncoderLibrary(options);
    ::setenv("FAKE_CARDENC_CALL_MS", std::to_string(options.operationMs).c_str(), 1);
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\nEncoderLibrary=" + library + "\r\n",
                    hostSoft);
    ::unsetenv("FAKE_CARDENC_CALL_MS");

    // The fake's card number, whatever it is, as long as the read succeeded.
    std::string error;
    const std::string expected = ReadCardFrom(host.Port(), "127.0.0.1", error);
    if (expected.find("<ResultCode>200</ResultCode>") == std::string::npos)
        throw std::runtime_error("fairness: the host's ReadCard with " + library +
                                 " failed: " + (error.empty() ? expected.substr(0, 200) : error));

    const int busyClients = BusyAddresses * ClientsPerBusyAddress;
    std::mutex lock;
    std::vector<int64_t> loneSamples, busySamples;
    const auto windowStart = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(options.warmup));
    const auto windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.fairnessSeconds));
    auto client = [&](int address, bool lone) {
        // The busy clients share their address's plan with the flood's; the lone one is the next address.
        const std::string from = FloodSourceAddress(address * ClientsPerBusyAddress, ClientsPerBusyAddress);
        std::vector<int64_t> mine;
        uint64_t answered = 0, errors = 0;
        std::vector<std::string> samples;
        while (Clock::now() < windowEnd) {
            const auto begin = Clock::now();
            std::string why;
            const std::string received = ReadCardFrom(host.Port(), from, why);
            const auto end = Clock::now();
            if (received != expected) {
                ++errors;
                if (samples.size() < 2)
                    samples.push_back(why.empty() ? "wrong response: " + received.substr(0, 120) : why);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (end >= windowStart && end < windowEnd) {
                ++answered;
                mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count());
            }
        }
        std::lock_guard guard(lock);
        (lone ? loneSamples : busySamples)
            .insert((lone ? loneSamples : busySamples).end(), mine.begin(), mine.end());
        if (lone)
            result.loneAnswers += answered;
        else
            result.busyAnswers[static_cast<size_t>(address)] += answered;
        result.errors += errors;
        for (auto& text : samples)
            if (result.errorSamples.size() < 5)
                result.errorSamples.push_back(std::move(text));
    };
    std::vector<std::thread> threads;
    for (int c = 0; c < busyClients; ++c)
        threads.emplace_back(client, c / ClientsPerBusyAddress, false);
    threads.emplace_back(client, BusyAddresses, true);
    for (auto& thread : threads)
        thread.join();

    std::sort(loneSamples.begin(), loneSamples.end());
    std::sort(busySamples.begin(), busySamples.end());
    result.loneP50Ms = Percentile(loneSamples, 0.50);
    result.loneP99Ms = Percentile(loneSamples, 0.99);
    result.loneMaxMs = loneSamples.empty() ? 0 : static_cast<double>(loneSamples.back()) / 1e6;
    result.busyP50Ms = Percentile(busySamples, 0.50);
    result.busyP99Ms = Percentile(busySamples, 0.99);
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (fairness) exit status %d: %s\n", status, host.Errors().c_str());
    return result;
}

void PrintFairness(const TFairnessResult& f) {
    const uint64_t busy = std::accumulate(f.busyAnswers.begin(), f.busyAnswers.end(), uint64_t{0});
    const auto [least, most] = std::minmax_element(f.busyAnswers.begin(), f.busyAnswers.end());
    std::printf("\nFairness: ReadCard, %d ms per card operation, %g s: %d addresses x %d clients, and one "
                "address with 1 client\n",
                f.operationMs, f.seconds, f.busyAddresses, f.clientsPerAddress);
    std::printf("  busy addresses: %llu answers (%llu to %llu per address), p50 %.0f ms, p99 %.0f ms\n",
                static_cast<unsigned long long>(busy), static_cast<unsigned long long>(*least),
                static_cast<unsigned long long>(*most), f.busyP50Ms, f.busyP99Ms);
    std::printf("  lone address:   %llu answers, p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
                static_cast<unsigned long long>(f.loneAnswers), f.loneP50Ms, f.loneP99Ms, f.loneMaxMs);
    std::printf("  lone address's share of the answers %.1f%% (a turn per address: %.1f%%); %llu errors\n",
                100 * LoneShare(f), 100 * FairShare(f), static_cast<unsigned long long>(f.errors));
    for (const auto& sample : f.errorSamples)
        std::printf("    error: %s\n", sample.c_str());
    std::fflush(stdout);
}
