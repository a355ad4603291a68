#pragma once

#include "server/RequestOriginUnit.h"
#include "xml/XmlUnit.h"

#include <cstddef>
#include <string>
#include <string_view>

// Pieces every request handler uses to log a request and build its response.

// "&", "<" and ">" of a value as references, control bytes other than TAB, LF and CR left out, so a
// response stays well-formed and whole whatever a value holds.
std::string EscapeXmlText(const std::string& value);
// "<name>" + the escaped value + "</name>"
void AppendElement(std::string& xml, const char* name, const std::string& value);
// The first log entry of every handler: "收到消息: ", a line break, then the request (system code page).
std::string ReceivedMessageLogText(const std::string& request);
// What a peer's request texts may take of the log in a minute; beyond it they are logged as their length.
inline constexpr size_t RequestTextBudgetPerMinute = 1024 * 1024;
// The request's entry in the log, in one write so that no other line falls between its parts: the peer line
// (PeerLine) and ReceivedMessageLogText. A text over its peer's budget, or one that comes while the log's
// disk is below its floor, is logged as its length instead (with, once a minute per peer, the reason).
void LogReceivedRequest(const std::string& request, const TRequestOrigin& origin);

// A request that lacks a child the handler needs; the message is the one the system has always raised.
class EMissingElement : public Exception {
public:
    EMissingElement(int index, const char* name);
    int Index() const { return m_index; }
    const char* Name() const { return m_name; }

private:
    int m_index;
    const char* m_name;
};
// The root's child at that position; a request without it fails with EMissingElement. name: the field's name
// for the log, where the handler knows it.
const TXmlNode& RequiredChild(const TXmlNode& root, int index, const char* name = nullptr);

// The log line of a request closed without an answer, with its reason (GBK; the reason's request-borne part
// cut to a few hundred bytes).
std::string UnansweredLine(std::string_view reason);
// The reason for an error a handler raised: not XML, which element is missing, or which value is bad.
std::string UnansweredReason(const std::exception& error);
// The same reason as a metric label: not_xml, missing_field, bad_value (an error the system raises for a
// value) or handler_error.
const char* UnansweredLabel(const std::exception& error);
// The reason for a request of a type the handler does not serve.
std::string UnknownTypeReason(const std::string& type);

// The start every XML kind shares: the request's entry goes to the log first (LogReceivedRequest), then the
// text is parsed (EXmlParseError, "No root element found in xml") and the root's trimmed type attribute read.
// A request that does not parse has still been logged; a caller that groups log lines opens its scope first.
class TXmlRequest {
public:
    TXmlRequest(const std::string& request, const TRequestOrigin& origin);
    TXmlRequest(const TXmlRequest&) = delete;
    TXmlRequest& operator=(const TXmlRequest&) = delete;

    const TXmlNode& Root() const { return *m_root; }
    const std::string& Type() const { return m_type; }

private:
    TXmlDocument m_document;
    const TXmlNode* m_root = nullptr;
    std::string m_type;
};
