#include "BaselineServerUnit.h"

#include "LoadRunUnit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>

namespace {

constexpr int HostBacklog = 15; // the host's listen backlog, so the baseline queues the same way

} // namespace

TBaselineServer::TBaselineServer(std::string response)
    : m_response(std::move(response) + Nul), m_listener(ListenTcp(0, HostBacklog)),
      m_port(m_listener.LocalPort()) {
    // The listener comes non-blocking; blocking accepts need no poll before them.
    const int flags = ::fcntl(m_listener.Handle(), F_GETFL);
    ::fcntl(m_listener.Handle(), F_SETFL, flags & ~O_NONBLOCK);
    const unsigned loops = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < loops; ++i)
        m_threads.emplace_back([this] { Listen(); });
}

TBaselineServer::~TBaselineServer() {
    m_stopping = true;
    // A shut-down listening socket wakes every thread blocked in accept.
    m_listener.ShutdownBoth();
    for (auto& thread : m_threads)
        thread.join();
}

void TBaselineServer::Listen() {
    while (!m_stopping) {
        const int fd = ::accept4(m_listener.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED && !m_stopping)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        Serve(TSocket(fd));
    }
}

void TBaselineServer::Serve(TSocket socket) {
    char buffer[4096];
    for (;;) {
        long n = socket.Receive(buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (std::memchr(buffer, '\0', static_cast<size_t>(n)) != nullptr) {
            socket.SendAll(m_response.data(), m_response.size());
            break;
        }
    }
    socket.ShutdownSend();
}
