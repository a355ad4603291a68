#pragma once

#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// A real doorlock-host --headless in a sandbox program directory with the simulated encoder.
class TDoorlockHostTest : public ::testing::Test {
protected:
    // Starts the host with these extra lines in sections DoorlockOption and SysOption of Option.ini.
    void StartHost(const std::string& doorlockOptions = "", bool blankCard = true,
                   const std::string& sysOptions = "");
    int StopHost();

    std::string Send(const std::string& request) { return Request(m_port, request); }
    std::string SimCard() const { return ReadFileBytes(m_sandbox.File("SimCard.bin")); }
    // The log file's lines (GBK), without their time stamps where they have one.
    std::vector<std::string> LogLines() const { return LogLinesOf(LogText()); }
    std::string LogText() const;
    std::string DatabaseFile() const { return m_sandbox.File("Client.db"); }

    // A second host beside the first, with a program directory of its own: another front desk.
    struct TDesk {
        TSandbox Sandbox;
        int Port = 0;
        std::unique_ptr<TRunningProgram> Host;
        std::string LogText() const;
    };
    std::unique_ptr<TDesk> StartDesk(const std::string& doorlockOptions);

    TSandbox m_sandbox;
    // The host's standard output is closed after the start line (`doorlock-host --headless | head -1`).
    bool m_outputFirstLineOnly = false;
    int m_port = 0;
    std::unique_ptr<TRunningProgram> m_host;
};

// An IssueCard request in UTF-8 with the eleven children: the usual stay, or one with some fields changed,
// IssueCardRequest({.room = "0817", .copy = true}).
struct TCardRequest {
    std::string room = "0816";
    std::string checkIn = "2026-12-29 12:00:00";
    std::string checkOut = "2026-12-31 14:30:00";
    bool copy = false;
    std::string guest = "Guest";
    std::string registerId = "R1";
};
std::string IssueCardRequest(const TCardRequest& card = {});
// doorlock-cli run to its end with --port in front of the arguments.
struct TCliRun {
    int status;
    std::string output; // as text
    std::string raw;    // the bytes, CR LF kept
    std::string errors;
};
TCliRun RunCli(int port, std::vector<std::string> args);

// UTF-8 bytes of a GBK text (log lines are GBK).
std::string Utf8(const std::string& gbk);

// A CA, a host certificate for 127.0.0.1 and a client certificate (CN=clientName) made by
// scripts/make-certs.sh in dir: ca.pem, host.pem/host.key, client.pem/client.key. False where the script
// cannot run (Windows).
bool MakeCertificates(const std::string& dir, const std::string& clientName = "hotel-system");
