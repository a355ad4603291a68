#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

// How a run without a window is stopped: SIGINT / SIGTERM, or on Windows Ctrl+C, Ctrl+Break and closing the
// console, which stop it as SIGTERM does.

// Sets up the stop signals for WaitForStopSignal: blocks them in the calling thread and, through inheritance,
// in every thread started later, so that only the waiting thread receives them (Windows: the console's
// handler, and UTF-8 output on the console, as the information lines are).
void BlockStopSignals();

// Runs tick every interval (never when it is zero) until a stop signal comes. A second signal while the stop
// still waits ends the process at once.
void WaitForStopSignal(std::chrono::milliseconds interval, const std::function<void()>& tick);

// Asks for the stop as a stop signal does, from any thread (the service manager's Stop).
void RequestStop();

// Marks the end of the ordered stop when it goes, for a console handler that must not return before it (the
// system ends the process as soon as the handler of a closing console returns).
class TStopFinished {
public:
    TStopFinished() = default;
    ~TStopFinished();
    TStopFinished(const TStopFinished&) = delete;
    TStopFinished& operator=(const TStopFinished&) = delete;
};

// A closed standard output (`doorlock-host --headless | head -1`) must fail a write, not end the process
// before the stop has run.
void IgnoreBrokenPipe();

// Every connection holds a descriptor for as long as its client keeps it open. With the usual soft limit of
// 1024, about a thousand open connections leave none for the next accept, the log file or the card file, and
// then no request is answered at all: the soft limit is raised to the hard one, what the system allows this
// process. Nothing to do where there is no such limit.
void RaiseDescriptorLimit();
// The soft descriptor limit now; 0 where there is none (Windows).
size_t DescriptorLimit();
