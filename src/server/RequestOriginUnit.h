#pragma once

#include <string>

// Who sent a request.
struct TRequestOrigin {
    std::string Address; // dotted IPv4
    int Port = 0;
    // The client certificate's subject on one line, control characters escaped; empty without TLS.
    std::string Subject;
    // "ADDR:PORT", or "ADDR:PORT [SUBJECT]" with a subject.
    std::string Text() const;
};
