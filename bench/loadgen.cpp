// Load generator for the real host: requests per second and latency of "ReadCard" and of "IssueCard" with the
// record store on, at several client counts, next to a bare server that only accepts, reads to the NUL and
// answers; then 1,000 idle connections held open while requests go on. Every request is one connection, as
// the hotel system makes it. Linux only (it starts the host with fork/exec and reads /proc).
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "platform/SocketUnit.h"
#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <soci/soci.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::milliseconds ReplyTimeout(10000);
constexpr int HostBacklog = 15; // the host's listen backlog, so the baseline queues the same way
// The targets: "ReadCard" at 8 clients at least half the bare server's rate; "IssueCard" with records at
// least this many per second at the best client count.
constexpr double ReadCardTargetRatio = 0.5;
constexpr double IssueCardTargetRate = 1000.0;
const std::string Nul(1, '\0');

const std::string ReadCardRequest = "<DoorRequest type=\"ReadCard\"><RequestID></RequestID></DoorRequest>";
const std::string ReadCardResponse =
    "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
    "<ResultMessage>读卡成功</ResultMessage><CardNo>15151515</CardNo></DoorResponse>";
const std::string IssueCardRequest =
    "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>R1</RegisterId>"
    "<RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>08</RoomFloorCode><RoomNo>0816</RoomNo>"
    "<GuestName>Guest</GuestName><CheckInDate>2026-12-29</CheckInDate><CheckInTime>12:00:00</CheckInTime>"
    "<CheckOutDate>2026-12-31</CheckOutDate><CheckOutTime>14:30:00</CheckOutTime><IsCopy>0</IsCopy></"
    "DoorRequest>";
const std::string IssueCardResponse =
    "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
    "<ResultMessage>发卡成功</ResultMessage><CardNo>816123114</CardNo></DoorResponse>";

struct TOptions {
    double seconds = 3.0;
    double warmup = 0.5;
    std::vector<int> clients{1, 8, 64};
    int idle = 1000;
    // The ReadCard verdict: the median ratio of this many short paired runs at 8 clients.
    int rounds = 5;
    int idleClients = 8;
    bool reportOnly = false;
    std::string hostProgram;
    // The soft descriptor limit the host is started with: the usual default of a login session, so that the
    // idle check also shows whether the host raises its own.
    long hostNofile = 1024;
    // Soak instead of the benchmark: minutes of mixed requests at a bounded rate.
    double soakMinutes = 0;
    int soakClients = 16;
    double soakRate = 200;
};

// ---------------------------------------------------------------------------------------------------------
// Client side

enum class TOutcome { Ok, ConnectFailed, SendFailed, ReceiveFailed, WrongResponse };

struct TExchange {
    TOutcome outcome = TOutcome::Ok;
    int error = 0;
    std::string received;
};

// Connect, send the request with its NUL, read until the server closes, compare.
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

std::string Describe(const TExchange& exchange) {
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

struct TRunResult {
    std::string target;
    int clients = 0;
    double seconds = 0;
    uint64_t requests = 0; // completed correctly inside the measured window
    uint64_t answered = 0; // answered correctly at any time (warm-up and the last ones included)
    uint64_t errors = 0;   // at any time
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    std::vector<std::string> errorSamples;
    int serverTimeWait = 0, clientTimeWait = 0;
    long listenOverflows =
        0; // connections the kernel dropped because the accept queue was full (system-wide)

    double Rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
};

// Nearest-rank percentile of sorted samples.
double Percentile(const std::vector<int64_t>& sorted, double fraction) {
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1e6;
}

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

// Clients each loop over one-connection requests for warm-up + measured seconds; requests that end inside the
// measured window are counted and timed.
TRunResult RunLoad(const std::string& target, int port, const std::string& request,
                   const std::string& expected, int clients, double warmup, double seconds) {
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
            uint64_t answered = 0, errors = 0;
            std::vector<std::string> errorSamples;
            TExchange exchange;
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            for (;;) {
                auto begin = Clock::now();
                if (begin >= windowEnd)
                    break;
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
                if (end >= windowStart && end < windowEnd)
                    mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count());
            }
            std::lock_guard guard(lock);
            samples.insert(samples.end(), mine.begin(), mine.end());
            result.answered += answered;
            result.errors += errors;
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

// ---------------------------------------------------------------------------------------------------------
// The baseline: the least a server can do around a request, with no request handling at all. One accept loop
// per hardware thread, all blocking in accept on the one listening socket (the kernel hands each connection
// to one of them); each serves what it accepted itself, reads to the NUL and answers. Same backlog as the
// host.

class TBaselineServer {
public:
    explicit TBaselineServer(std::string response)
        : m_response(std::move(response) + Nul), m_listener(ListenTcp(0, HostBacklog)),
          m_port(m_listener.LocalPort()) {
        // The listener comes non-blocking; blocking accepts need no poll before them.
        const int flags = ::fcntl(m_listener.Handle(), F_GETFL);
        ::fcntl(m_listener.Handle(), F_SETFL, flags & ~O_NONBLOCK);
        const unsigned loops = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < loops; ++i)
            m_threads.emplace_back([this] { Listen(); });
    }

    ~TBaselineServer() {
        m_stopping = true;
        // A shut-down listening socket wakes every thread blocked in accept.
        m_listener.ShutdownBoth();
        for (auto& thread : m_threads)
            thread.join();
    }

    int Port() const { return m_port; }

private:
    void Listen() {
        while (!m_stopping) {
            const int fd = ::accept4(m_listener.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EINTR && errno != ECONNABORTED && !m_stopping)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            Serve(TSocket(fd));
        }
    }

    void Serve(TSocket socket) {
        char buffer[4096];
        for (;;) {
            long n = socket.Receive(buffer, sizeof buffer);
            if (n <= 0)
                break;
            if (std::memchr(buffer, '\0', static_cast<size_t>(n)) != nullptr) {
                socket.SendAll(m_response.data(), m_response.size());
                break;
            }
        }
        socket.ShutdownSend();
    }

    std::string m_response;
    TSocket m_listener;
    int m_port;
    std::atomic<bool> m_stopping{false};
    std::vector<std::thread> m_threads;
};

// ---------------------------------------------------------------------------------------------------------
// The real host in a program directory of its own

std::string FormatMemory(const TProcessStats& memory) {
    char text[160];
    std::snprintf(text, sizeof text, "VmRSS %6.1f MiB  VmHWM %6.1f MiB  threads %5ld  descriptors %5ld",
                  static_cast<double>(memory.rssKb) / 1024, static_cast<double>(memory.hwmKb) / 1024,
                  memory.threads, memory.fds);
    return text;
}

class TBenchHost {
public:
    TBenchHost(const std::string& program, const std::string& doorlockOptions, long nofileSoft)
        : m_host(StartDoorlockHost(program, m_dir.Path().string(), doorlockOptions, m_port, "", true,
                                   {.nofileSoft = nofileSoft})) {}

    int Port() const { return m_port; }
    pid_t Pid() const { return m_host->Pid(); }
    fs::path Dir() const { return m_dir.Path(); }
    std::string Errors() const { return m_host->Errors(); }
    // SIGTERM and wait; the exit status, -1 when it had to be killed.
    int Stop() { return m_host->Stop(SIGTERM); }

private:
    TSandbox m_dir;
    int m_port = 0;
    std::unique_ptr<TRunningProgram> m_host;
};

// Rows the issue runs left in the host's record store.
long CountIssueRecords(const fs::path& database) {
    try {
        soci::session session("sqlite3", "db=\"" + database.string() + "\"");
        long count = -1;
        session << "select count(*) from T_IssueCardRecord", soci::into(count);
        return count;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot count the issue records: %s\n", e.what());
        return -1;
    }
}

// The rows the host stored on the server, which the benchmark alone uses.
long CountServerIssueRecords(const std::string& server) {
    try {
        soci::session session("postgresql", ParsePostgresConninfo(server).KeywordForm);
        long count = -1;
        session << "select count(*) from T_IssueCardRecord", soci::into(count);
        return count;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot count the issue records on the server: %s\n", e.what());
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Output

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

struct TVerdict {
    bool pass;
    std::string text;
};

// ---------------------------------------------------------------------------------------------------------

void PrintUsage(const char* program) {
    std::printf(
        "Usage: %s [options]\n"
        "  --seconds S        measured seconds per scenario (default 3)\n"
        "  --warmup S         warm-up seconds before each measurement (default 0.5)\n"
        "  --clients LIST     client counts, comma separated (default 1,8,64)\n"
        "  --idle N           idle connections held open during the idle check (default 1000)\n"
        "  --rounds N         the ReadCard verdict is the median ratio of N paired 1 s runs at 8 clients,\n"
        "                     bare server and host in turns (default 5; 0: the ratio of the table's runs)\n"
        "  --host PATH        doorlock-host to run (default: the one next to this program)\n"
        "  --host-nofile N    soft descriptor limit the host is started with (default 1024, the usual\n"
        "                     one of a login session; 0: the one this tool was started with)\n"
        "  --report-only      print the targets' verdicts but exit 0 even when one fails\n"
        "  --soak MINUTES     instead: mixed requests for that long; the host's memory, descriptors and\n"
        "                     threads every minute (fails when memory grew by more than 5%% in the second\n"
        "                     half, descriptors or threads beyond the connections in flight, or more of\n"
        "                     them than at the start once the host has been idle for 35 s)\n"
        "  --soak-clients N   clients of the soak (default 16)\n"
        "  --soak-rate R      requests per second of all soak clients together (default 200)\n",
        program);
}

std::vector<int> ParseList(const std::string& text) {
    std::vector<int> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ','))
        if (!item.empty())
            values.push_back(std::stoi(item));
    return values;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--seconds")
            options.seconds = std::stod(next());
        else if (arg == "--warmup")
            options.warmup = std::stod(next());
        else if (arg == "--clients")
            options.clients = ParseList(next());
        else if (arg == "--idle")
            options.idle = std::stoi(next());
        else if (arg == "--rounds")
            options.rounds = std::stoi(next());
        else if (arg == "--host")
            options.hostProgram = next();
        else if (arg == "--host-nofile")
            options.hostNofile = std::stol(next());
        else if (arg == "--report-only")
            options.reportOnly = true;
        else if (arg == "--soak")
            options.soakMinutes = std::stod(next());
        else if (arg == "--soak-clients")
            options.soakClients = std::stoi(next());
        else if (arg == "--soak-rate")
            options.soakRate = std::stod(next());
        else if (arg == "--help" || arg == "-h") {
            PrintUsage(argv[0]);
            std::exit(0);
        } else
            throw std::runtime_error("unknown argument " + arg + " (see --help)");
    }
    if (options.clients.empty() || options.seconds <= 0 || options.warmup < 0 || options.idle < 0 ||
        options.rounds < 0 || options.soakMinutes < 0 || options.soakClients <= 0 || options.soakRate <= 0)
        throw std::runtime_error("bad option value (see --help)");
    return true;
}

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

struct TIdleResult {
    int opened = 0;
    int connectFailures = 0;
    bool allServed = false; // the host runs a connection thread for each
    int closedByHost = 0;
    TProcessStats before, during, after;
    TRunResult load;
};

TIdleResult RunIdleCheck(TBenchHost& host, const TOptions& options) {
    TIdleResult idle;
    idle.before = ReadProcessStats(host.Pid());
    std::vector<TLoopbackClient> sockets;
    sockets.reserve(static_cast<size_t>(options.idle));
    for (int i = 0; i < options.idle; ++i) {
        TLoopbackClient client(ReplyTimeout);
        if (client.Connect(host.Port()))
            sockets.push_back(std::move(client));
        else
            ++idle.connectFailures;
    }
    idle.opened = static_cast<int>(sockets.size());
    // Each accepted connection has its own thread waiting for the request, besides the host's main and
    // listening threads (threads that served earlier requests wait for the next and may take some of them).
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (ReadProcessStats(host.Pid()).threads >= 2 + idle.opened) {
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
    while (Clock::now() < deadline && ReadProcessStats(host.Pid()).threads > idle.before.threads)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle.after = ReadProcessStats(host.Pid());
    return idle;
}

// ---------------------------------------------------------------------------------------------------------
// Soak: what months beside the hotel system do to the host, in minutes. Every client paces itself to its
// share of the rate and cycles through reads, new cards, copies, erases and requests the host must drop
// unanswered.

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

int Run(const TOptions& options, rlim_t originalSoft, rlim_t hard) {
    long hostSoft = options.hostNofile > 0 ? std::min<long>(options.hostNofile, static_cast<long>(hard))
                                           : static_cast<long>(originalSoft);
    if (options.soakMinutes > 0)
        return RunSoak(options, hostSoft);
    std::printf("doorlock-loadgen: %g s per scenario after %g s warm-up; one request per connection\n",
                options.seconds, options.warmup);
    std::printf("host: %s\n", options.hostProgram.c_str());
    std::printf(
        "descriptor limit: this tool %llu (raised from %llu), host started with soft %ld, hard %llu\n",
        static_cast<unsigned long long>(hard), static_cast<unsigned long long>(originalSoft), hostSoft,
        static_cast<unsigned long long>(hard));
    std::printf("cores: %u   load average at start: %s\n\n", std::thread::hardware_concurrency(),
                LoadAverage().c_str());

    std::vector<TRunResult> all;
    TRunResult readAt8Host, readAt8Base;
    bool haveReadAt8 = false;
    std::vector<double> pairedRatios;
    std::optional<TIdleResult> idle;

    // Read host: a blank card that stays blank.
    {
        TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft);
        std::printf("host started with a soft descriptor limit of %ld runs with %s\n\n", hostSoft,
                    DescriptorLimit(host.Pid()).c_str());
        PrintHeader();
        TBaselineServer baseline(ReadCardResponse);
        for (int clients : options.clients) {
            // Side by side per client count, so that a change in the machine's load hits both alike.
            TRunResult base = RunLoad("baseline (bare server)", baseline.Port(), ReadCardRequest,
                                      ReadCardResponse, clients, options.warmup, options.seconds);
            PrintRow(base);
            TRunResult read = RunLoad("host ReadCard", host.Port(), ReadCardRequest, ReadCardResponse,
                                      clients, options.warmup, options.seconds);
            PrintRow(read);
            if (clients == 8) {
                readAt8Base = base;
                readAt8Host = read;
                haveReadAt8 = true;
            }
            all.push_back(base);
            all.push_back(read);
        }
        // The machine's load drifts over seconds, and one pair of runs gives a ratio that swings with it.
        // Short runs in turns, each pair in the opposite order to the one before, see the same drift.
        if (haveReadAt8 && options.rounds > 0) {
            std::printf("\nReadCard at 8 clients, %d paired runs of 1 s (bare server / host):",
                        options.rounds);
            for (int round = 0; round < options.rounds; ++round) {
                auto once = [&](bool onHost) {
                    return onHost ? RunLoad("host ReadCard", host.Port(), ReadCardRequest, ReadCardResponse,
                                            8, 0.2, 1.0)
                                  : RunLoad("baseline (bare server)", baseline.Port(), ReadCardRequest,
                                            ReadCardResponse, 8, 0.2, 1.0);
                };
                const bool hostFirst = round % 2 == 1;
                TRunResult first = once(hostFirst);
                TRunResult second = once(!hostFirst);
                const TRunResult& base = hostFirst ? second : first;
                const TRunResult& read = hostFirst ? first : second;
                const double ratio = base.Rate() > 0 ? read.Rate() / base.Rate() : 0;
                pairedRatios.push_back(ratio);
                all.push_back(first);
                all.push_back(second);
                std::printf(" %.2f", ratio);
                std::fflush(stdout);
            }
            std::printf("\n");
        }
        if (options.idle > 0) {
            idle = RunIdleCheck(host, options);
            PrintRow(idle->load);
            all.push_back(idle->load);
        }
        int status = host.Stop();
        if (status != 0)
            std::printf("    host (ReadCard) exit status %d: %s\n", status, host.Errors().c_str());
    }

    // Issue hosts: records on, in Client.db and, beside a server that scripts/with-postgres.sh started, on
    // PostgreSQL (the same run, so the figures compare).
    struct TIssueRun {
        std::vector<TRunResult> runs;
        long rows = -1;
        uint64_t answered = 0;
    };
    auto runIssueHost = [&](const char* label, const std::string& doorlockOptions,
                            const std::function<long(const fs::path&)>& countRows) {
        TIssueRun result;
        TBenchHost host(options.hostProgram, doorlockOptions, hostSoft);
        for (int clients : options.clients) {
            TRunResult issue = RunLoad(label, host.Port(), IssueCardRequest, IssueCardResponse, clients,
                                       options.warmup, options.seconds);
            PrintRow(issue);
            result.answered += issue.answered;
            result.runs.push_back(issue);
            all.push_back(issue);
        }
        TProcessStats memory = ReadProcessStats(host.Pid());
        int status = host.Stop();
        if (status != 0)
            std::printf("    host (%s) exit status %d: %s\n", label, status, host.Errors().c_str());
        result.rows = countRows(host.Dir());
        std::printf("\n%s: %s\n", label, FormatMemory(memory).c_str());
        std::printf("issue records stored: %ld for %llu issues answered\n\n", result.rows,
                    static_cast<unsigned long long>(result.answered));
        return result;
    };
    const TIssueRun sqliteIssues =
        runIssueHost("host IssueCard, records on", "SaveDoorlockRecord=1\r\n",
                     [](const fs::path& dir) { return CountIssueRecords(dir / "Client.db"); });
    const std::vector<TRunResult>& issues = sqliteIssues.runs;
    const long rows = sqliteIssues.rows;
    const uint64_t issuedOk = sqliteIssues.answered;
    std::optional<TIssueRun> serverIssues;
    if (const char* server = std::getenv("DOORLOCK_TEST_PG")) {
        serverIssues = runIssueHost("host IssueCard, PostgreSQL",
                                    "SaveDoorlockRecord=1\r\nDatabase=" + std::string(server) + "\r\n",
                                    [&](const fs::path&) { return CountServerIssueRecords(server); });
    }
    std::printf(
        "TIME_WAIT: sockets in TIME_WAIT on the server's side / the clients' side of that port at the end of "
        "the scenario\n"
        "overflow: connections the kernel dropped at a full accept queue during the scenario (system-wide "
        "count; each such client sends its SYN again a second later)\n");

    if (idle) {
        std::printf(
            "\nIdle connections: %d opened (%d failed), %s by the host, %d closed by the host meanwhile\n",
            idle->opened, idle->connectFailures,
            idle->allServed ? "all accepted and served" : "NOT all accepted", idle->closedByHost);
        std::printf("  host before:            %s\n", FormatMemory(idle->before).c_str());
        std::printf("  host with %4d idle:     %s\n", idle->opened, FormatMemory(idle->during).c_str());
        std::printf("  host after closing them: %s\n", FormatMemory(idle->after).c_str());
    }

    // Verdicts
    std::vector<TVerdict> verdicts;
    char text[512];
    if (haveReadAt8) {
        double ratio = readAt8Base.Rate() > 0 ? readAt8Host.Rate() / readAt8Base.Rate() : 0;
        std::snprintf(
            text, sizeof text,
            "ReadCard at 8 clients: %s req/s = %.2f x the baseline's %s req/s (target: at least %.2f x)",
            Thousands(readAt8Host.Rate()).c_str(), ratio, Thousands(readAt8Base.Rate()).c_str(),
            ReadCardTargetRatio);
        if (!pairedRatios.empty()) {
            std::vector<double> sorted = pairedRatios;
            std::sort(sorted.begin(), sorted.end());
            const size_t middle = sorted.size() / 2;
            ratio = sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
            const size_t used = std::strlen(text);
            std::snprintf(text + used, sizeof text - used,
                          "; median of %zu paired runs %.2f x (%.2f to %.2f)", sorted.size(), ratio,
                          sorted.front(), sorted.back());
        }
        verdicts.push_back({ratio >= ReadCardTargetRatio, text});
    } else {
        verdicts.push_back({false, "ReadCard at 8 clients: not measured (8 is not among --clients)"});
    }
    {
        auto best =
            std::max_element(issues.begin(), issues.end(),
                             [](const TRunResult& a, const TRunResult& b) { return a.Rate() < b.Rate(); });
        bool rowsMatch = rows >= 0 && static_cast<uint64_t>(rows) == issuedOk;
        std::snprintf(text, sizeof text,
                      "IssueCard with records: best %s req/s at %d clients (target: at least %s req/s); %s",
                      Thousands(best->Rate()).c_str(), best->clients, Thousands(IssueCardTargetRate).c_str(),
                      rowsMatch ? "one record per issue" : "records do NOT match the issues");
        verdicts.push_back({best->Rate() >= IssueCardTargetRate && rowsMatch, text});
    }
    if (serverIssues) {
        // No target of its own: the figures stand next to Client.db's; every answered issue needs its row.
        auto best =
            std::max_element(serverIssues->runs.begin(), serverIssues->runs.end(),
                             [](const TRunResult& a, const TRunResult& b) { return a.Rate() < b.Rate(); });
        bool rowsMatch =
            serverIssues->rows >= 0 && static_cast<uint64_t>(serverIssues->rows) == serverIssues->answered;
        std::snprintf(text, sizeof text,
                      "IssueCard with records on PostgreSQL: best %s req/s at %d clients; %s",
                      Thousands(best->Rate()).c_str(), best->clients,
                      rowsMatch ? "one record per issue" : "records do NOT match the issues");
        verdicts.push_back({rowsMatch, text});
    }
    if (idle) {
        bool pass = idle->opened == options.idle && idle->allServed && idle->closedByHost == 0 &&
                    idle->load.errors == 0 && idle->load.requests > 0;
        std::snprintf(
            text, sizeof text,
            "%d idle connections held open while %d clients got %llu answers (%s req/s), %llu errors; "
            "host VmRSS %.1f -> %.1f -> %.1f MiB",
            idle->opened, options.idleClients, static_cast<unsigned long long>(idle->load.answered),
            Thousands(idle->load.Rate()).c_str(), static_cast<unsigned long long>(idle->load.errors),
            static_cast<double>(idle->before.rssKb) / 1024, static_cast<double>(idle->during.rssKb) / 1024,
            static_cast<double>(idle->after.rssKb) / 1024);
        verdicts.push_back({pass, text});
    }
    {
        uint64_t errors = 0;
        for (const auto& r : all)
            errors += r.errors;
        std::snprintf(text, sizeof text, "Every request answered correctly: %llu errors in all scenarios",
                      static_cast<unsigned long long>(errors));
        verdicts.push_back({errors == 0, text});
    }

    std::printf("\nload average at end: %s\n\n", LoadAverage().c_str());
    bool allPass = true;
    for (const auto& verdict : verdicts) {
        std::printf("%s  %s\n", verdict.pass ? "PASS" : "FAIL", verdict.text.c_str());
        allPass = allPass && verdict.pass;
    }
    if (!allPass && options.reportOnly)
        std::printf("(report only: exit status 0)\n");
    return allPass || options.reportOnly ? 0 : 1;
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
