#pragma once

#include "platform/SocketUnit.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The host's settings in section SysOption of Option.ini. The door-lock kind's keys in section DoorlockOption
// are TDoorlockOption's.
class TSysOption {
public:
    explicit TSysOption(std::string fileName);

    // Declared order of the fields.
    int32_t DoorlockPortNo = 8886;
    int32_t PolicePortNo = 8885;
    int32_t MemberPortNo = 8883;
    int32_t ScanPortNo = 8881;
    std::string FileName;
    std::string Password = "mirvek";

    // Who may connect, beyond the described keys. Loaded, never written: the password change leaves their
    // lines as the administrator wrote them.
    std::string ListenAddress;  // empty: every local address
    std::string AllowedClients; // comma-separated addresses and ranges; empty: everyone
    // Requests read in full that wait for or run in a worker; 0 or less: no cap.
    int32_t MaxConnections = 1024;
    // Connections still being read (a socket and a little state each); within the descriptor limit, which
    // the host raises to its hard limit at start. 0 or less: only that limit.
    int32_t MaxReadingConnections = 10000;
    // Connections one address may hold while they wait for their answer, so that no single machine can take
    // every slot; 0 or less: no cap.
    int32_t MaxConnectionsPerClient = 64;
    // The listen queue of connections not yet accepted; 0 or less: 15.
    int32_t ListenBacklog = 15;
    // Seconds a connection has for all of its request's bytes, counted from its accept; 0 or less: no limit.
    int32_t RequestTimeout = 30;
    // TLS on every listener when TlsCertificate is set (PEM files; relative names from the program
    // directory).
    std::string TlsCertificate; // the host's certificate chain
    std::string TlsPrivateKey;  // its key
    std::string TlsClientCA;    // the CAs a client's certificate must chain to; empty: no client certificate

    // The monitoring endpoint (health and Prometheus metrics): "ADDRESS:PORT"; empty: off.
    std::string MonitorAddress;
    // Who may ask it, in the form of AllowedClients; empty: this computer only (127.0.0.0/8).
    std::string MonitorClients;

    // The log, beyond the described file per start day.
    std::string LogRollover; // "Daily": a run that passes midnight starts that day's file; empty/"None": not
    int32_t LogRetentionDays =
        0; // files "yyyymmdd.LOG" older than this many days are deleted; 0 or less: kept
    // Free space (MB) the log's disk keeps: below it request texts are no longer written; 0 or less: no
    // floor.
    int32_t LogMinFreeMB = 100;

    void LoadOption();
    // Raises Exception "Unable to write to %s"; keys written before the failing one keep their new values.
    void SaveOption();

    // The password prompt's rule: the entry trimmed of blanks and control characters, compared with the
    // stored password byte for byte.
    bool PasswordMatches(std::string_view entered) const;

    // The parsed forms, for the listener's start; each raises Exception naming the entry that does not parse.
    TIpv4 ListenIpv4() const;
    std::vector<TIpv4Range> AllowedClientRanges() const;
    // False when MonitorAddress is empty (the monitor is off).
    bool MonitorEndpoint(TIpv4& address, int& port) const;
    std::vector<TIpv4Range> MonitorClientRanges() const;
    // Whether each day gets its own log file; raises Exception for a value other than Daily or None.
    bool DailyLogFiles() const;
};

extern TSysOption* SysOption;
