#pragma once

#include "ListenQueueUnit.h"

#include "support/HostRunner.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct TOptions;

// The flood's source addresses: connection index from the perAddress-th address on, counting 127.0.0.10,
// 127.0.0.11, ... 127.0.0.254, then 127.0.1.1 and on (no .0 or .255 host part). 127.0.0.1 and 127.0.0.2 stay
// free for the clients the scenarios time.
std::string FloodSourceAddress(int index, int perAddress);
int FloodAddressCount(int connections, int perAddress);

// Connections that each send one byte and stay, each from its address of the plan above, at most a window of
// them connecting at once, fewer when the host's accept queue (short) has less room.
class TFlood {
public:
    TFlood(int port, int connections, int perAddress);
    ~TFlood();
    TFlood(const TFlood&) = delete;
    TFlood& operator=(const TFlood&) = delete;

    // Makes every connection once (each made, its byte sent, or failed; at most about a minute).
    void Open();
    // Until stop: a connection the host closes is made again from its address; then the connections that
    // are still open are counted.
    void KeepUp(const std::atomic<bool>& stop);
    // Connections the host has closed since the last call, found without waiting; Open() counts them too.
    int TakeClosedByHost();

    int Opened() const { return m_opened; }     // made and their byte sent, at any time
    int Failures() const { return m_failures; } // connects or sends that failed
    int OpenNow() const { return m_openNow; }   // open at this moment
    uint64_t Reconnects() const { return m_reconnects; }
    int Addresses() const { return FloodAddressCount(static_cast<int>(m_slots.size()), m_perAddress); }
    std::string FirstFailure() const { return m_firstFailure; }

private:
    enum class TState { Idle, Connecting, Open };
    struct TSlot {
        int fd = -1;
        TState state = TState::Idle;
    };
    // Connects to start now (see ConnectRoom); heldBackByQueue: fewer than the window alone allows.
    int Room(bool& heldBackByQueue);
    bool Start(size_t slot);
    void Close(size_t slot);
    void Fail(size_t slot, int error);
    // Handles the events ready within timeoutMs; the count handled.
    int Poll(int timeoutMs);

    int m_port;
    int m_perAddress;
    int m_epoll = -1;
    std::vector<TSlot> m_slots;
    int m_connecting = 0;
    int m_opened = 0;
    int m_failures = 0;
    int m_openNow = 0;
    int m_closedByHost = 0;
    uint64_t m_reconnects = 0;
    std::string m_firstFailure;
    TListenQueueProbe m_queue;
    bool m_queueUnseenTold = false;
};

// The [SysOption] lines (CRLF) of the host of hold (no request deadline) and flood (the host's deadline
// closes the flood's connections): room to read every connection of the flood besides the clients'.
std::string FloodSysOptions(const TOptions& options, bool requestDeadline);

// Idle connections held: what the flood holds and what the host uses for them.
struct THoldResult {
    int wanted = 0;
    int addresses = 0;
    int opened = 0;
    int failures = 0;
    int heldOpen = 0; // still open when measured
    std::string firstFailure;
    std::string hostLimits;
    TProcessStats before, during;
};
THoldResult RunHoldScenario(const TOptions& options, long hostSoft);
void PrintHold(const THoldResult& hold);

// Answer times of the allowed client's requests during the flood, in ms; a request that failed is -1.
struct TFloodResult {
    int flood = 0;
    int opened = 0;
    int failures = 0; // the flood's connects that failed
    std::string firstFailure;
    uint64_t reconnects = 0;
    std::vector<double> answerMs;
    std::vector<std::string> errors;
    std::string hostLimits;
    TProcessStats during;
};
TFloodResult RunFloodScenario(const TOptions& options, long hostSoft);
void PrintFlood(const TFloodResult& flood);
// How many answers came within the limit (a failed one never does).
int CountWithin(const std::vector<double>& answerMs, double limitMs);
