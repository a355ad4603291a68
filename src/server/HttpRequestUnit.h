#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The request line and headers of one HTTP/1.x request, read from the bytes a monitoring client sent so far.
// A pure function over bytes, so that whatever arrives can be tried here without a socket.
inline constexpr size_t MaxHttpRequestHead = 8192;

struct THttpRequest {
    enum class TState {
        NeedMore, // no blank line yet, within the bound
        Complete, // Method and Target hold the request line's parts
        Bad,      // not an HTTP/1.x request head: answer 400 and close
        TooLarge, // no end of the head within MaxHttpRequestHead bytes: answer 431 and close
    };
    TState State = TState::NeedMore;
    std::string Method;
    std::string Target; // the path, without a query
};

// The head ends at the first empty line (CRLF CRLF, or LF LF from a careless client). Bytes after it (a body)
// are ignored: the monitor serves GET only.
THttpRequest ParseHttpRequest(std::string_view bytes);
