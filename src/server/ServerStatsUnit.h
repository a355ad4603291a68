#pragma once

#include "server/MetricsUnit.h"

#include <chrono>
#include <string>
#include <string_view>

// What a listener counts for the monitor. Owned by whoever assembles the metrics and shared with the runs of
// the listener; counting is a relaxed atomic add (and, the first time a set of labels is seen, one lock).
class TServerStats {
public:
    // interfaceName: the interface kind's name, the label of its requests.
    explicit TServerStats(std::string interfaceName);

    // A request answered: its type (as the kind read it) and the response's ResultCode; the time from the
    // request read in full to its answer handed to the socket.
    void Answered(std::string_view type, std::string_view resultCode, std::chrono::nanoseconds answerTime);
    // A request closed without an answer (too_long, not_utf8, not_xml, missing_field, bad_value,
    // unknown_type, handler_error).
    void Unanswered(std::string_view reason);
    // A connection refused or closed before its request was read (allow_list, client_cap, reading_cap,
    // workers_cap, tls).
    void Refused(std::string_view reason);
    void TlsHandshakeFailed();

    void Write(TMetricsText& text) const;

    const TCounterFamily& Requests() const { return m_requests; }
    const TCounterFamily& UnansweredRequests() const { return m_unanswered; }
    const TCounterFamily& RefusedConnections() const { return m_refused; }

private:
    const std::string m_interface;
    TCounterFamily m_requests;
    TCounterFamily m_unanswered;
    TCounterFamily m_refused;
    TCounterFamily m_tlsFailures;
    THistogram m_answerTime;
};

// The text of a response's first ResultCode element (system code page), empty without one.
std::string_view ResponseResultCode(std::string_view response);
