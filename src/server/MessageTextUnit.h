#pragma once

#include <string>

class TXmlNode;

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
