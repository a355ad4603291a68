#pragma once

#include <string>

// What the request cycle learns of one request, for the monitor's counts. It travels with the origin because
// every handler already receives that: the kind's TXmlRequest notes the type it read, the cycle the rest, so
// a kind needs no counter of its own and nothing process-wide stands between them.
struct TRequestReport {
    std::string Type;                 // the root's type, as TXmlRequest read it (system code page)
    const char* Unanswered = nullptr; // why the request was closed without an answer (a metric label)
};

// Who sent a request.
struct TRequestOrigin {
    std::string Address; // dotted IPv4
    int Port = 0;
    // The client certificate's subject on one line, control characters escaped; empty without TLS.
    std::string Subject;
    // Filled while the request is served, when the server counts; null otherwise.
    TRequestReport* Report = nullptr;
    // "ADDR:PORT", or "ADDR:PORT [SUBJECT]" with a subject.
    std::string Text() const;
};
