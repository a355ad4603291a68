#pragma once

#include "platform/CodePageUnit.h"
#include "server/LogFileUnit.h"
#include "server/WireUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

// Serves one UTF-8 request with a kind's handler object, in the code page as the request cycle hands it
// over: the response in UTF-8, or nullopt when the handler does not answer. Errors of the handler pass
// through.
template <typename THandler>
std::optional<std::string> HandleWith(THandler& handler, const std::string& requestUtf8) {
    const std::optional<std::string> response =
        handler.Handle(Utf8ToGbk(requestUtf8), TRequestOrigin{"127.0.0.1", 50000, ""});
    if (!response)
        return std::nullopt;
    return GbkToUtf8(*response);
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

// A kind's handler serving requests with the back end m_backEnd, logging to a file of the test's own.
template <typename THandler, typename TBackEnd> class TKindHandlerTest : public ::testing::Test {
protected:
    TKindHandlerTest() : m_log(LogFileName()) { LogFile = &m_log; }

    // The response text (UTF-8) to a request; nullopt when there is none. Errors pass through.
    std::optional<std::string> Handle(const std::string& requestUtf8) {
        THandler handler(m_backEnd);
        return HandleWith(handler, requestUtf8);
    }

    std::string LogFileName() const { return m_sandbox.File("test.LOG"); }
    // The log's entries (UTF-8) without their time stamps; an entry may span several lines.
    std::vector<std::string> LogEntries() const { return ReadLogEntries(LogFileName()); }
    // The same with the first line of each entry only.
    std::vector<std::string> LogMessages() const { return ReadLogEntries(LogFileName(), true); }

    TRestored<TLogFile*> m_guard{LogFile};
    TSandbox m_sandbox;
    TLogFile m_log;
    TBackEnd* m_backEnd = nullptr;
};
