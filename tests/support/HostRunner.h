#pragma once

#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#ifdef _WIN32
// Ends a program at once (TerminateProcess); any other signal is the stop a user at its console asks for.
#define SIGKILL 9
#endif

struct TProgramOptions {
    // Standard output is closed after its first line, as `program | head -1` does.
    bool firstLineOnly = false;
    // The soft descriptor limit the program starts with (at most the hard one); 0: this process's. Not on
    // Windows.
    long nofileSoft = 0;
    // The hard one (raising it above this process's takes the privilege to); 0: this process's. Not on
    // Windows.
    long nofileHard = 0;
};

// A program of the build (doorlock-host, an example host) started as a child process, its standard output
// and standard error collected.
class TRunningProgram {
public:
    TRunningProgram(const std::string& program, const std::vector<std::string>& args,
                    const TProgramOptions& options = {});
    ~TRunningProgram(); // kills the program when it still runs
    TRunningProgram(const TRunningProgram&) = delete;
    TRunningProgram& operator=(const TRunningProgram&) = delete;

    // True once the standard output holds the text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string Output() const;
    // Standard output as the program wrote it, CR LF kept on every system.
    std::string RawOutput() const;
    std::string Errors() const;
    // Sends the signal and waits for the exit; the exit status, or -1 when the program did not end in time.
    int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the exit without a signal; once it has come, Output() and Errors() hold everything.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    pid_t Pid() const { return m_pid; }

private:
#ifdef _WIN32
    void Collect(void* pipe, std::string& target, bool firstLineOnly);
    void* m_process = nullptr;
    std::string m_program;
    std::wstring m_directory; // the working directory it was started in
#else
    void Collect(int fd, std::string& target, bool firstLineOnly);
#endif

    pid_t m_pid = -1;
    int m_exitStatus = -1;
    bool m_exited = false;
    mutable std::mutex m_lock;
    std::string m_output;
    std::string m_errors;
    std::thread m_outReader;
    std::thread m_errReader;
};

// Full path of a program in the build's bin directory.
std::string BuildProgram(const std::string& name);

// Starts program --headless --dir dir on a free port: Option.ini is written from optionIni(port), then the
// start line is awaited on standard output and the listener by a connection. Raises when the host does not
// come up.
std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port,
                                                   const TProgramOptions& options = {});
// The same for doorlock-host (program) with the simulated encoder: a blank card on it unless blankCard is
// false, and these lines in sections SysOption and DoorlockOption of Option.ini.
std::unique_ptr<TRunningProgram> StartDoorlockHost(const std::string& program, const std::string& dir,
                                                   const std::string& doorlockOptions, int& port,
                                                   const std::string& sysOptions = "", bool blankCard = true,
                                                   const TProgramOptions& options = {});

// What the system shows of a running process (-1 where it could not be read).
struct TProcessStats {
    long rssKb = -1;
    long hwmKb = -1;
    long threads = -1;
    long fds = -1;
};
TProcessStats ReadProcessStats(pid_t pid);
// The soft descriptor limit the process runs with, as the system shows it.
std::string DescriptorLimit(pid_t pid);
