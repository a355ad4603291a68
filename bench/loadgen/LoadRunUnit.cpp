#include "LoadRunUnit.h"

#include "platform/SocketUnit.h"
#include "platform/TlsUnit.h"
#include "support/LoopbackClient.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

void Exchange(int port, const std::string& wire, const std::string& expected, TExchange& result) {
    result.outcome = TOutcome::Ok;
    result.error = 0;
    result.received.clear();
    TLoopbackClient client(ReplyTimeout);
    // A runaway answer is wrong anyway: it is read to the close but kept only in part.
    if (!client.Connect(port)) {
        result.outcome = TOutcome::ConnectFailed;
    } else if (!client.Send(wire)) {
        result.outcome = TOutcome::SendFailed;
    } else if (client.ReadToClose(&result.received, expected.size() + 4096) != TReadEnd::Closed) {
        result.outcome = TOutcome::ReceiveFailed;
    } else if (result.received != expected) {
        result.outcome = TOutcome::WrongResponse;
    }
    if (result.outcome != TOutcome::Ok && result.outcome != TOutcome::WrongResponse)
        result.error = client.Error();
}

namespace {

// The same over TLS; resumption, when given, is this client's last session, offered and kept.
void ExchangeTls(int port, const std::string& wire, const std::string& expected, const TTlsLoad& tls,
                 TTlsResumption* resumption, TExchange& result) {
    result.outcome = TOutcome::Ok;
    result.error = 0;
    result.reason.clear();
    result.received.clear();
    result.resumed = false;
    TSocket socket;
    try {
        socket = ConnectTcp("127.0.0.1", port);
    } catch (const std::exception& e) {
        result.outcome = TOutcome::ConnectFailed;
        result.reason = e.what();
        return;
    }
    socket.SetReceiveTimeout(static_cast<int>(ReplyTimeout.count()));
    TTlsSocketChannel channel(socket);
    TTlsSession session(*tls.context, channel);
    if (!session.Connect("127.0.0.1", tls.resume ? resumption : nullptr)) {
        result.outcome = TOutcome::ConnectFailed;
        result.reason = session.Error();
        return;
    }
    result.resumed = session.Resumed();
    if (!session.Send(wire.data(), wire.size())) {
        result.outcome = TOutcome::SendFailed;
        result.reason = session.Error();
        return;
    }
    char buffer[4096];
    for (;;) {
        long n = session.Receive(buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            result.outcome = TOutcome::ReceiveFailed;
            result.reason = session.Error();
            return;
        }
        if (result.received.size() < expected.size() + 4096)
            result.received.append(buffer, static_cast<size_t>(n));
    }
    if (result.received != expected)
        result.outcome = TOutcome::WrongResponse;
}

} // namespace

std::string Describe(const TExchange& exchange) {
    if (!exchange.reason.empty() && exchange.outcome != TOutcome::WrongResponse)
        return "TLS: " + exchange.reason;
    switch (exchange.outcome) {
    case TOutcome::Ok:
        return "ok";
    case TOutcome::ConnectFailed:
        return std::string("connect failed: ") + std::strerror(exchange.error);
    case TOutcome::SendFailed:
        return std::string("send failed: ") + std::strerror(exchange.error);
    case TOutcome::ReceiveFailed:
        return std::string("receive failed: ") + std::strerror(exchange.error);
    case TOutcome::WrongResponse: {
        std::string shown = exchange.received.substr(0, 160);
        for (char& c : shown)
            if (c == '\0')
                c = '@';
        return "wrong response (" + std::to_string(exchange.received.size()) + " bytes): " + shown;
    }
    }
    return "?";
}

double Percentile(const std::vector<int64_t>& sorted, double fraction) {
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1e6;
}

namespace {

// The kernel's count of connections dropped at a full accept queue; such a client waits for its SYN to be
// sent again, a second later at first.
long ListenOverflows() {
    std::ifstream netstat("/proc/net/netstat");
    std::string names, values;
    while (std::getline(netstat, names) && std::getline(netstat, values)) {
        if (names.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "ListenOverflows")
                return std::stol(value);
    }
    return 0;
}

} // namespace

TRunResult RunLoad(const std::string& target, int port, const std::string& request,
                   const std::string& expected, int clients, double warmup, double seconds,
                   const TTlsLoad* tls) {
    const std::string wire = request + Nul;
    const std::string expectedWire = expected + Nul;
    TRunResult result;
    result.target = target;
    result.clients = clients;
    std::mutex lock;
    std::vector<int64_t> samples;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point windowStart, windowEnd;

    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            std::vector<int64_t> mine;
            mine.reserve(1 << 16);
            uint64_t answered = 0, errors = 0, resumed = 0;
            std::vector<std::string> errorSamples;
            TExchange exchange;
            TTlsResumption resumption;
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            for (;;) {
                auto begin = Clock::now();
                if (begin >= windowEnd)
                    break;
                if (tls != nullptr)
                    ExchangeTls(port, wire, expectedWire, *tls, &resumption, exchange);
                else
                    Exchange(port, wire, expectedWire, exchange);
                auto end = Clock::now();
                if (exchange.outcome != TOutcome::Ok) {
                    ++errors;
                    if (errorSamples.size() < 3)
                        errorSamples.push_back(Describe(exchange));
                    // A refused or reset connection comes back at once; do not spin on it.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                ++answered;
                resumed += exchange.resumed ? 1 : 0;
                if (end >= windowStart && end < windowEnd)
                    mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count());
            }
            std::lock_guard guard(lock);
            samples.insert(samples.end(), mine.begin(), mine.end());
            result.answered += answered;
            result.errors += errors;
            result.resumed += resumed;
            for (auto& text : errorSamples)
                if (result.errorSamples.size() < 5)
                    result.errorSamples.push_back(std::move(text));
        });
    }
    while (ready.load() < clients)
        std::this_thread::yield();
    long overflowsBefore = ListenOverflows();
    auto start = Clock::now();
    windowStart = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    windowEnd =
        windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go = true;
    for (auto& thread : threads)
        thread.join();

    std::sort(samples.begin(), samples.end());
    result.seconds = seconds;
    result.requests = samples.size();
    result.p50Ms = Percentile(samples, 0.50);
    result.p99Ms = Percentile(samples, 0.99);
    result.maxMs = samples.empty() ? 0 : static_cast<double>(samples.back()) / 1e6;
    result.listenOverflows = ListenOverflows() - overflowsBefore;
    const TPortSockets sockets = PortSockets(port);
    result.serverTimeWait = sockets.timeWait;
    result.clientTimeWait = sockets.clientTimeWait;
    return result;
}
