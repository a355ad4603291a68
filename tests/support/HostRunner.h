#pragma once

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
// Ends a program at once (TerminateProcess); any other signal is Ctrl+Break to it.
#define SIGKILL 9
#endif

// A program of the build (doorlock-host, an example host) started as a child process, its standard output
// and standard error collected.
class TRunningProgram {
public:
    // firstLineOnly: standard output is closed after its first line, as `program | head -1` does.
    TRunningProgram(const std::string& program, const std::vector<std::string>& args,
                    bool firstLineOnly = false);
    ~TRunningProgram(); // kills the program when it still runs
    TRunningProgram(const TRunningProgram&) = delete;
    TRunningProgram& operator=(const TRunningProgram&) = delete;

    // True once the standard output holds the text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string Output() const;
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
// start line is awaited on standard output and the listener by a connection. Fails the test (and returns
// nullptr) when the host does not come up.
std::unique_ptr<TRunningProgram> StartHeadlessHost(const std::string& program, const std::string& dir,
                                                   const std::function<std::string(int port)>& optionIni,
                                                   const std::string& startLine, int& port,
                                                   bool firstLineOnly = false);

// The text of the log file (*.LOG) in a program directory; empty when there is none.
std::string ReadLogFile(const std::string& dir);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();

// Connects to 127.0.0.1:port, sends the bytes and reads until the server closes.
// Returns what arrived; "closed" is true when the server closed (false on time-out).
std::string Exchange(int port, const std::string& bytes, bool* closed = nullptr,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
// A connected socket to address:port from the local address from (the system's choice when empty); raises
// on failure.
int ConnectTo(int port, const std::string& address = "127.0.0.1", const std::string& from = "");
// Sends the bytes on a connected socket, reads until the server closes (see Exchange) and closes it.
std::string ExchangeOn(int fd, const std::string& bytes, bool* closed = nullptr,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The host's side of its IPv4 TCP sockets on a port, from /proc/net/tcp: connections established (accepted
// or waiting in the accept queue), connections whose client has closed but the host has not, and the
// listening socket's accept queue.
struct TPortSockets {
    int established = 0;
    int closeWait = 0;
    int acceptQueue = 0;
};
TPortSockets ServerSockets(int port);
// Whether ServerSockets can tell (Linux only).
inline bool HasServerSockets() {
#ifdef __linux__
    return true;
#else
    return false;
#endif
}
// True when the peer closed the socket within the timeout; closes the socket.
bool ClosedByPeer(int fd, std::chrono::milliseconds timeout);
// A request as a client sends it: the bytes followed by one NUL.
std::string Request(int port, const std::string& request);
