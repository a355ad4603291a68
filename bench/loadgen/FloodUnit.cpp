#include "FloodUnit.h"

#include "BenchHostUnit.h"
#include "LoadRunUnit.h"
#include "LoadgenOptionsUnit.h"

#include "support/LoopbackClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The flood's first address is 127.0.0.10: host parts 1 to 254 of 127.0.x.0/24, counted from the tenth.
constexpr int FirstHostPart = 10;
constexpr int HostPartsPerNet = 254;
// Connections being made at once, at most. What bounds them in practice is the host's accept queue (15):
// a connect leaves the window as soon as its handshake is done, but stays in that queue until the host
// accepts it, and a SYN that finds the queue full is dropped and sent again only a second later (then 3, 7,
// 15 s...). So the flood counts what waits there too, and leaves room for the client being timed.
constexpr int ConnectWindow = 12;
constexpr int QueueReserve = 3;
// How soon to look at the queue again while it holds the flood back: the host's accept() wakes nothing here.
constexpr int QueueLookMs = 1;
constexpr auto OpenDeadline = std::chrono::seconds(120);

} // namespace

int FloodAddressCount(int connections, int perAddress) {
    return (connections + perAddress - 1) / perAddress;
}

std::string FloodSourceAddress(int index, int perAddress) {
    const int n = FirstHostPart - 1 + index / perAddress;
    return "127.0." + std::to_string(n / HostPartsPerNet) + "." + std::to_string(n % HostPartsPerNet + 1);
}

TFlood::TFlood(int port, int connections, int perAddress)
    : m_port(port), m_perAddress(perAddress), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_slots(static_cast<size_t>(connections)) {
    if (m_epoll < 0)
        throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

TFlood::~TFlood() {
    for (TSlot& slot : m_slots)
        if (slot.fd >= 0)
            ::close(slot.fd);
    ::close(m_epoll);
}

void TFlood::Fail(size_t slot, int error) {
    ++m_failures;
    if (m_firstFailure.empty())
        m_firstFailure =
            FloodSourceAddress(static_cast<int>(slot), m_perAddress) + ": " + std::strerror(error);
    Close(slot);
}

void TFlood::Close(size_t slot) {
    TSlot& s = m_slots[slot];
    if (s.state == TState::Connecting)
        --m_connecting;
    else if (s.state == TState::Open)
        --m_openNow;
    if (s.fd >= 0)
        ::close(s.fd); // also leaves the epoll set
    s.fd = -1;
    s.state = TState::Idle;
}

bool TFlood::Start(size_t slot) {
    TSlot& s = m_slots[slot];
    s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        Fail(slot, errno);
        return false;
    }
    // The port is picked at connect, for the pair of addresses, instead of at bind from the one range all
    // 10,000 would share.
    const int on = 1;
    ::setsockopt(s.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    ::inet_pton(AF_INET, FloodSourceAddress(static_cast<int>(slot), m_perAddress).c_str(), &local.sin_addr);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    remote.sin_port = htons(static_cast<uint16_t>(m_port));
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (::connect(s.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
        Fail(slot, errno);
        return false;
    }
    s.state = TState::Connecting;
    ++m_connecting;
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = slot;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, s.fd, &event);
    return true;
}

int TFlood::Room(bool& heldBackByQueue) {
    const std::optional<TListenQueue> queue = m_queue.Read(m_port);
    if (!queue && !m_queueUnseenTold) {
        m_queueUnseenTold = true;
        std::fprintf(stderr,
                     "doorlock-loadgen: the accept queue of port %d cannot be read; the flood's connects "
                     "are bounded by their window alone\n",
                     m_port);
    }
    const int room = ConnectRoom(ConnectWindow, m_connecting, queue, QueueReserve);
    heldBackByQueue = room < ConnectRoom(ConnectWindow, m_connecting, std::nullopt, 0);
    return room;
}

int TFlood::Poll(int timeoutMs) {
    epoll_event events[256];
    const int ready = ::epoll_wait(m_epoll, events, 256, timeoutMs);
    for (int i = 0; i < ready; ++i) {
        const size_t slot = events[i].data.u64;
        TSlot& s = m_slots[slot];
        if (s.state == TState::Connecting) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            // One byte of a request that never ends: the host has to wait for the rest.
            if (error == 0 && ::send(s.fd, "<", 1, MSG_NOSIGNAL) != 1)
                error = errno;
            if (error != 0) {
                Fail(slot, error);
                continue;
            }
            s.state = TState::Open;
            --m_connecting;
            ++m_opened;
            ++m_openNow;
            epoll_event event{};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = slot;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, s.fd, &event);
        } else if (s.state == TState::Open) {
            // Whatever the host says, the connection counts as held until it closes.
            char buffer[512];
            const long n = ::recv(s.fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || (events[i].events & EPOLLRDHUP)) {
                ++m_closedByHost;
                Close(slot);
            }
        }
    }
    return ready > 0 ? ready : 0;
}

void TFlood::Open() {
    const auto deadline = Clock::now() + OpenDeadline;
    size_t next = 0;
    while ((next < m_slots.size() || m_connecting > 0) && Clock::now() < deadline) {
        bool heldBack = false;
        for (int room = Room(heldBack); room > 0 && next < m_slots.size(); --room)
            Start(next++);
        Poll(heldBack && next < m_slots.size() ? QueueLookMs : 100);
    }
    // What still waits for its connect after the deadline failed.
    for (size_t slot = 0; slot < m_slots.size(); ++slot)
        if (m_slots[slot].state == TState::Connecting)
            Fail(slot, ETIMEDOUT);
}

void TFlood::KeepUp(const std::atomic<bool>& stop) {
    size_t next = 0;
    while (!stop.load()) {
        bool heldBack = false;
        int room = Room(heldBack);
        bool waiting = false; // a closed connection is left to make again
        // One pass over the slots at most per turn, so that a host that refuses at once is not spun on.
        for (size_t looked = 0; looked < m_slots.size(); ++looked) {
            if (m_slots[next].state == TState::Idle) {
                if (room == 0) {
                    waiting = true;
                    break;
                }
                --room;
                if (Start(next))
                    ++m_reconnects;
            }
            next = (next + 1) % m_slots.size();
        }
        Poll(waiting && heldBack ? QueueLookMs : 50);
    }
}

int TFlood::TakeClosedByHost() {
    while (Poll(0) > 0) {
    }
    const int closed = m_closedByHost;
    m_closedByHost = 0;
    return closed;
}

// The flood's connections are all being read (none sends a whole request), so it is the reading cap that must
// hold them; MaxConnections counts requests in the workers, and what it asks is kept from the reading cap's
// descriptors.
std::string FloodSysOptions(const TOptions& options, bool requestDeadline) {
    std::string lines = "MaxReadingConnections=" + std::to_string(options.holdConnections + 1024) + "\r\n";
    if (!requestDeadline)
        lines += "RequestTimeout=0\r\n";
    return lines;
}

namespace {

// Until the host's thread count has not changed for a second (at most 30 s): a host that makes a thread per
// connection is still making them after the last connect.
void AwaitSteadyThreads(pid_t pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    long last = -2;
    int steady = 0;
    while (steady < 4 && Clock::now() < deadline) {
        const long threads = ReadProcessStats(pid).threads;
        steady = threads == last ? steady + 1 : 0;
        last = threads;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

} // namespace

THoldResult RunHoldScenario(const TOptions& options, long hostSoft) {
    THoldResult hold;
    hold.wanted = options.holdConnections;
    // No request deadline: what is counted is what the host can hold, not how long it waits.
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft,
                    FloodSysOptions(options, false), options.hostNofileHard);
    hold.hostLimits = DescriptorLimits(host.Pid());
    hold.before = ReadProcessStats(host.Pid());
    {
        TFlood flood(host.Port(), options.holdConnections, options.perAddress);
        hold.addresses = flood.Addresses();
        flood.Open();
        AwaitSteadyThreads(host.Pid());
        hold.during = ReadProcessStats(host.Pid());
        flood.TakeClosedByHost();
        hold.opened = flood.Opened();
        hold.failures = flood.Failures();
        hold.heldOpen = flood.OpenNow();
        hold.firstFailure = flood.FirstFailure();
    }
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (hold) exit status %d: %s\n", status, host.Errors().c_str());
    return hold;
}

void PrintHold(const THoldResult& hold) {
    std::printf("\nIdle connections held: %d wanted from %d addresses, %d made (%d failed), %d still open\n",
                hold.wanted, hold.addresses, hold.opened, hold.failures, hold.heldOpen);
    if (!hold.firstFailure.empty())
        std::printf("  first failure: %s\n", hold.firstFailure.c_str());
    std::printf("  host descriptor limits (soft/hard): %s\n", hold.hostLimits.c_str());
    std::printf("  host before:          %s\n", FormatMemory(hold.before).c_str());
    std::printf("  host holding them:    %s\n", FormatMemory(hold.during).c_str());
    std::fflush(stdout);
}

int CountWithin(const std::vector<double>& answerMs, double limitMs) {
    int count = 0;
    for (double ms : answerMs)
        if (ms >= 0 && ms <= limitMs)
            ++count;
    return count;
}

TFloodResult RunFloodScenario(const TOptions& options, long hostSoft) {
    TFloodResult result;
    result.flood = options.holdConnections;
    // The host's own request deadline closes the flood's connections, and the flood makes them again.
    TBenchHost host(options.hostProgram, "SaveDoorlockRecord=0\r\n", hostSoft, FloodSysOptions(options, true),
                    options.hostNofileHard);
    result.hostLimits = DescriptorLimits(host.Pid());
    TFlood flood(host.Port(), options.holdConnections, options.perAddress);
    flood.Open();
    result.opened = flood.Opened();
    std::atomic<bool> stop{false};
    std::thread keeper([&] { flood.KeepUp(stop); });
    const std::string expected = IssueCardResponse + Nul;
    for (int i = 0; i < options.floodIssues; ++i) {
        // The hotel system: one request per connection, from its own address.
        TLoopbackClient client(std::chrono::seconds(30));
        const auto begin = Clock::now();
        std::string received;
        std::string error;
        if (!client.Connect(host.Port(), nullptr, "127.0.0.2"))
            error = "connect: " + client.ErrorText();
        else if (!client.Send(IssueCardRequest + Nul))
            error = "send: " + client.ErrorText();
        else if (client.ReadToClose(&received, expected.size() + 4096) != TReadEnd::Closed)
            error = "receive: " + client.ErrorText();
        else if (received != expected)
            error = "wrong response: " + received.substr(0, 120);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        result.answerMs.push_back(error.empty() ? ms : -1);
        if (!error.empty())
            result.errors.push_back(error);
        if (i == options.floodIssues / 2)
            result.during = ReadProcessStats(host.Pid());
        // The hotel system's pace: a desk issues a card now and then, not back to back.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    keeper.join();
    result.reconnects = flood.Reconnects();
    result.failures = flood.Failures();
    result.firstFailure = flood.FirstFailure();
    const int status = host.Stop();
    if (status != 0)
        std::printf("    host (flood) exit status %d: %s\n", status, host.Errors().c_str());
    return result;
}

void PrintFlood(const TFloodResult& flood) {
    std::printf(
        "\nIssueCard from 127.0.0.2 during a flood of %d connections (%d made at first, %llu made again "
        "after the host closed them)\n",
        flood.flood, flood.opened, static_cast<unsigned long long>(flood.reconnects));
    if (flood.failures > 0)
        std::printf("  %d of the flood's connects failed, the first: %s\n", flood.failures,
                    flood.firstFailure.c_str());
    std::printf("  host descriptor limits (soft/hard): %s\n", flood.hostLimits.c_str());
    std::printf("  host meanwhile:  %s\n", FormatMemory(flood.during).c_str());
    std::printf("  answer times (ms):");
    for (double ms : flood.answerMs) {
        if (ms < 0)
            std::printf(" failed");
        else
            std::printf(" %.0f", ms);
    }
    std::printf("\n  %d of %zu answered within 1 s\n", CountWithin(flood.answerMs, 1000),
                flood.answerMs.size());
    for (size_t i = 0; i < flood.errors.size() && i < 5; ++i)
        std::printf("    error: %s\n", flood.errors[i].c_str());
    std::fflush(stdout);
}
