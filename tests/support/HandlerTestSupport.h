#pragma once

#include "platform/CodePageUnit.h"
#include "server/WireUnit.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

// A connection that keeps what a handler sends.
class TCapturingConnection : public TConnection {
public:
    bool SendBytes(const char* data, size_t size) override {
        Bytes.append(data, size);
        return true;
    }
    std::string Bytes;
};

// Serves one UTF-8 request with a fresh handler: the response (UTF-8, without its NUL), or nullopt when the
// handler sent nothing. Errors of the handler pass through.
template <class THandler> std::optional<std::string> HandleWith(const std::string& requestUtf8) {
    TCapturingConnection connection;
    THandler handler(nullptr);
    handler.HandleRequest(connection, Utf8ToUtf16(requestUtf8));
    if (connection.Bytes.empty())
        return std::nullopt;
    EXPECT_EQ(connection.Bytes.back(), '\0');
    return connection.Bytes.substr(0, connection.Bytes.size() - 1);
}

// A request <root type="type"> whose children carry the given values; their names do not matter to the
// handlers, which read children by position.
inline std::string RequestXml(const std::string& root, const std::string& type,
                              const std::vector<std::string>& children) {
    std::string xml = "<" + root + " type=\"" + type + "\">";
    for (size_t i = 0; i < children.size(); ++i)
        xml += "<C" + std::to_string(i) + ">" + children[i] + "</C" + std::to_string(i) + ">";
    return xml + "</" + root + ">";
}
