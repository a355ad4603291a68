#include "platform/StopSignalUnit.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopSignal(std::chrono::milliseconds interval, const std::function<void()>& tick) {
    sigset_t set = StopSignals();
    if (interval.count() > 0) {
        const timespec wait{static_cast<time_t>(interval.count() / 1000),
                            static_cast<long>(interval.count() % 1000 * 1000000)};
        while (sigtimedwait(&set, nullptr, &wait) < 0) {
            if (errno == EAGAIN)
                tick();
        }
    } else {
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
    }
    // A second signal ends the process at once (the default action); the other threads keep them blocked, so
    // this thread takes it.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void RequestStop() {
    kill(getpid(), SIGTERM);
}

TStopFinished::~TStopFinished() = default;

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Where the system refuses (macOS caps an unlimited hard limit lower), the soft one stays.
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

size_t DescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<size_t>(limit.rlim_cur);
}
