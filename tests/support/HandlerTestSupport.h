#pragma once

#include "platform/CodePageUnit.h"

#include <optional>
#include <string>

// Serves one UTF-8 request with a kind's handler, in the code page as the request cycle hands it over:
// the response in UTF-8, or nullopt when the handler does not answer. Errors of the handler pass through.
template <auto Handler> std::optional<std::string> HandleWith(const std::string& requestUtf8) {
    const std::optional<std::string> response = Handler(Utf8ToGbk(requestUtf8));
    if (!response)
        return std::nullopt;
    return GbkToUtf8(*response);
}
