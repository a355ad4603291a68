#include "server/ServerStatsUnit.h"

TServerStats::TServerStats(std::string interfaceName)
    : m_interface(std::move(interfaceName)),
      // Types come from requests, but only those the kind answered are counted, and the caps hold anyway.
      m_requests("doorlock_requests_total", "Requests answered, by interface, request type and result code.",
                 {"interface", "type", "result"}, 48),
      m_unanswered("doorlock_requests_unanswered_total", "Requests closed without an answer, by reason.",
                   {"interface", "reason"}, 16),
      m_refused("doorlock_connections_refused_total",
                "Connections closed before their request was read or handled, by reason.", {"reason"}, 8),
      m_tlsFailures("doorlock_tls_handshake_failures_total", "TLS handshakes that failed.", {}),
      m_answerTime("doorlock_answer_seconds",
                   "Time from a request read in full to its answer handed to the socket.",
                   DurationBuckets()) {}

void TServerStats::Answered(std::string_view type, std::string_view resultCode,
                            std::chrono::nanoseconds answerTime) {
    m_requests.Add({m_interface, type, resultCode});
    m_answerTime.Observe(answerTime);
}

void TServerStats::Unanswered(std::string_view reason) {
    m_unanswered.Add({m_interface, reason});
}

void TServerStats::Refused(std::string_view reason) {
    m_refused.Add({reason});
}

void TServerStats::TlsHandshakeFailed() {
    m_tlsFailures.Add({});
}

void TServerStats::Write(TMetricsText& text) const {
    m_requests.Write(text);
    m_unanswered.Write(text);
    m_answerTime.Write(text);
    m_refused.Write(text);
    m_tlsFailures.Write(text);
}

std::string_view ResponseResultCode(std::string_view response) {
    constexpr std::string_view open = "<ResultCode>";
    const size_t start = response.find(open);
    if (start == std::string_view::npos)
        return {};
    const size_t from = start + open.size();
    const size_t end = response.find('<', from);
    if (end == std::string_view::npos)
        return {};
    return response.substr(from, end - from);
}
