#include "server/HttpRequestUnit.h"

namespace {

bool IsTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '!' || c == '#' || c == '$' || c == '%' || c == '&' || c == '\'' ||
           c == '*' || c == '+' || c == '^' || c == '`' || c == '|' || c == '~';
}

// Printable ASCII: a target with a control byte or a byte over 0x7F is not a request we serve.
bool IsTargetChar(char c) {
    return c > 0x20 && c < 0x7F;
}

// The end of the head (the index just past the empty line), or npos.
size_t HeadEnd(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return std::string_view::npos;
}

THttpRequest Bad() {
    THttpRequest request;
    request.State = THttpRequest::TState::Bad;
    return request;
}

} // namespace

THttpRequest ParseHttpRequest(std::string_view bytes) {
    // A request line is looked at as soon as it is there, so that something that is not HTTP is closed at
    // once instead of at the deadline.
    const size_t lineEnd = bytes.find('\n');
    std::string_view line = bytes.substr(0, lineEnd);
    if (lineEnd == std::string_view::npos) {
        for (char c : line) {
            if (!IsTokenChar(c) && c != ' ' && !IsTargetChar(c) && c != '\r')
                return Bad();
        }
        THttpRequest request;
        if (bytes.size() > MaxHttpRequestHead)
            request.State = THttpRequest::TState::TooLarge;
        return request;
    }
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace =
        firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (firstSpace == 0 || secondSpace == std::string_view::npos)
        return Bad();
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = line.substr(secondSpace + 1);
    for (char c : method) {
        if (!IsTokenChar(c))
            return Bad();
    }
    if (target.empty() || target.front() != '/')
        return Bad();
    for (char c : target) {
        if (!IsTargetChar(c))
            return Bad();
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return Bad();

    const size_t end = HeadEnd(bytes);
    if (end == std::string_view::npos || end > MaxHttpRequestHead) {
        THttpRequest request;
        if (bytes.size() > MaxHttpRequestHead || end != std::string_view::npos)
            request.State = THttpRequest::TState::TooLarge;
        return request;
    }
    // Each header line needs a name and a colon; a line folded onto the previous one is refused (obsolete).
    std::string_view rest = bytes.substr(lineEnd + 1, end - lineEnd - 1);
    while (!rest.empty()) {
        const size_t next = rest.find('\n');
        std::string_view header = rest.substr(0, next);
        rest.remove_prefix(next + 1);
        if (!header.empty() && header.back() == '\r')
            header.remove_suffix(1);
        if (header.empty())
            break;
        const size_t colon = header.find(':');
        if (colon == 0 || colon == std::string_view::npos)
            return Bad();
        for (char c : header.substr(0, colon)) {
            if (!IsTokenChar(c))
                return Bad();
        }
    }
    THttpRequest request;
    request.State = THttpRequest::TState::Complete;
    request.Method = std::string(method);
    request.Target = std::string(target.substr(0, target.find('?')));
    return request;
}
