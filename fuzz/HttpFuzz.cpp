// The monitor's request heads and the metrics text on any bytes: a head is read to one of its four states
// within its bound, a complete one names a GET-able path only, and a label value of any bytes (a request type
// that a client chose) never breaks the text into lines of its own.
#include "server/HttpRequestUnit.h"
#include "server/MetricsUnit.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const THttpRequest request = ParseHttpRequest(bytes);
    switch (request.State) {
    case THttpRequest::TState::Complete:
        // A path of printable bytes from the root, without its query, from a request line that is there.
        if (request.Method.empty() || request.Target.empty() || request.Target.front() != '/' ||
            request.Target.find('?') != std::string::npos ||
            std::any_of(request.Target.begin(), request.Target.end(),
                        [](char c) { return c <= 0x20 || c >= 0x7F; }) ||
            bytes.find('\n') == std::string_view::npos)
            std::abort();
        break;
    case THttpRequest::TState::NeedMore:
        // Waiting for more is bounded: past the bound the head is too large.
        if (size > MaxHttpRequestHead)
            std::abort();
        break;
    case THttpRequest::TState::Bad:
    case THttpRequest::TState::TooLarge:
        break;
    }

    TMetricsText text;
    text.Family("doorlock_fuzz_total", "Fuzzed label values.", "counter");
    text.Sample("doorlock_fuzz_total", {{"type", std::string(bytes)}}, 1);
    // Two lines of the family and one sample line, whatever the value holds.
    if (std::count(text.Text().begin(), text.Text().end(), '\n') != 3)
        std::abort();
    return 0;
}
