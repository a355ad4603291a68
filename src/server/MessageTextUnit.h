#pragma once

#include "xml/XmlUnit.h"

#include <string>

// Pieces every request handler uses to log a request and build its response.

// "&", "<" and ">" of a value as references, control bytes other than TAB, LF and CR left out, so a
// response stays well-formed and whole whatever a value holds.
std::string EscapeXmlText(const std::string& value);
// "<name>" + the escaped value + "</name>"
void AppendElement(std::string& xml, const char* name, const std::string& value);
// The first log entry of every handler: "收到消息: ", a line break, then the request (system code page).
std::string ReceivedMessageLogText(const std::string& request);
// The root's child at that position; a request without it fails.
const TXmlNode& RequiredChild(const TXmlNode& root, int index);

// The start every XML kind shares: the request's "received" entry goes to the log first, then the text is
// parsed (EXmlParseError, "No root element found in xml") and the root's trimmed type attribute read. A
// request that does not parse has still been logged; a caller that groups log lines opens its scope first.
class TXmlRequest {
public:
    explicit TXmlRequest(const std::string& request);
    TXmlRequest(const TXmlRequest&) = delete;
    TXmlRequest& operator=(const TXmlRequest&) = delete;

    const TXmlNode& Root() const { return *m_root; }
    const std::string& Type() const { return m_type; }

private:
    TXmlDocument m_document;
    const TXmlNode* m_root = nullptr;
    std::string m_type;
};
