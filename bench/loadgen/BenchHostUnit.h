#pragma once

#include "support/HostRunner.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <memory>
#include <string>

// The real host in a program directory of its own.
class TBenchHost {
public:
    // sysOptions: lines of section SysOption; nofileHard 0: this process's hard descriptor limit.
    TBenchHost(const std::string& program, const std::string& doorlockOptions, long nofileSoft,
               const std::string& sysOptions = "", long nofileHard = 0);

    int Port() const { return m_port; }
    pid_t Pid() const { return m_host->Pid(); }
    std::filesystem::path Dir() const { return m_dir.Path(); }
    std::string Errors() const { return m_host->Errors(); }
    // SIGTERM and wait; the exit status, -1 when it had to be killed.
    int Stop() { return m_host->Stop(SIGTERM); }

private:
    TSandbox m_dir;
    int m_port = 0;
    std::unique_ptr<TRunningProgram> m_host;
};

// The issue rows a host left in its record store: Client.db in its directory, or the PostgreSQL server the
// benchmark alone uses when server is not empty; -1 (with the reason on standard error) when they cannot be
// counted.
long CountIssueRecords(const TBenchHost& host, const std::string& server);

std::string FormatMemory(const TProcessStats& memory);
// The descriptor limits a process runs with, "soft/hard" as the system shows them.
std::string DescriptorLimits(pid_t pid);
