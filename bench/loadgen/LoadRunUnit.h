#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

// The requests of the benchmark and the host's answers to them with the simulated encoder's blank card.

// How long a client waits for the connection, each send and the answer.
inline constexpr std::chrono::milliseconds ReplyTimeout(10000);
inline const std::string Nul(1, '\0');

inline const std::string ReadCardRequest =
    "<DoorRequest type=\"ReadCard\"><RequestID></RequestID></DoorRequest>";
inline const std::string ReadCardResponse =
    "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
    "<ResultMessage>读卡成功</ResultMessage><CardNo>15151515</CardNo></DoorResponse>";
inline const std::string IssueCardRequest =
    "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>R1</RegisterId>"
    "<RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>08</RoomFloorCode><RoomNo>0816</RoomNo>"
    "<GuestName>Guest</GuestName><CheckInDate>2026-12-29</CheckInDate><CheckInTime>12:00:00</CheckInTime>"
    "<CheckOutDate>2026-12-31</CheckOutDate><CheckOutTime>14:30:00</CheckOutTime><IsCopy>0</IsCopy></"
    "DoorRequest>";
inline const std::string IssueCardResponse =
    "<DoorResponse><RequestID></RequestID><ResultCode>200</ResultCode>"
    "<ResultMessage>发卡成功</ResultMessage><CardNo>816123114</CardNo></DoorResponse>";

// One request on a connection of its own, as the hotel system makes it.
enum class TOutcome { Ok, ConnectFailed, SendFailed, ReceiveFailed, WrongResponse };

struct TExchange {
    TOutcome outcome = TOutcome::Ok;
    int error = 0;
    std::string reason; // TLS's, instead of the error number
    std::string received;
    bool resumed = false; // over TLS: the handshake resumed a session
};

class TTlsContext;
// Requests over TLS: the client's certificates, and whether each client offers its last session again.
struct TTlsLoad {
    std::shared_ptr<TTlsContext> context;
    bool resume = false;
};

// Connect, send the request with its NUL, read until the server closes, compare.
void Exchange(int port, const std::string& wire, const std::string& expected, TExchange& result);
// What went wrong, for the report (a wrong answer shown in part, its NULs as @).
std::string Describe(const TExchange& exchange);

// Nearest-rank percentile of sorted samples in nanoseconds, in milliseconds; 0 without samples.
double Percentile(const std::vector<int64_t>& sorted, double fraction);

// What one scenario (one target, one client count) measured.
struct TRunResult {
    std::string target;
    int clients = 0;
    double seconds = 0;
    uint64_t requests = 0; // completed correctly inside the measured window
    uint64_t answered = 0; // answered correctly at any time (warm-up and the last ones included)
    uint64_t errors = 0;   // at any time
    uint64_t resumed = 0;  // of answered, over TLS: those whose handshake resumed a session
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    std::vector<std::string> errorSamples;
    int serverTimeWait = 0, clientTimeWait = 0;
    long listenOverflows =
        0; // connections the kernel dropped because the accept queue was full (system-wide)

    double Rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
};

// Clients each loop over one-connection requests for warm-up + measured seconds; requests that end inside the
// measured window are counted and timed.
// tls: over TLS (null: plain TCP).
TRunResult RunLoad(const std::string& target, int port, const std::string& request,
                   const std::string& expected, int clients, double warmup, double seconds,
                   const TTlsLoad* tls = nullptr);
