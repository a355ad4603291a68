#include "server/MessageTextUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

#include <algorithm>

namespace {

// Control bytes XML cannot carry; a NUL would also end the response for the client. GBK trail bytes start
// at 0x40, so none of these is ever half of a character.
bool IsForbiddenControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

} // namespace

std::string EscapeXmlText(const std::string& value) {
    const bool plain = value.find_first_of("&<>") == std::string::npos &&
                       std::none_of(value.begin(), value.end(), IsForbiddenControl);
    if (plain)
        return value;
    std::string escaped;
    escaped.reserve(value.size() + 16);
    for (char c : value) {
        if (IsForbiddenControl(c))
            continue;
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void AppendElement(std::string& xml, const char* name, const std::string& value) {
    xml += '<';
    xml += name;
    xml += '>';
    xml += EscapeXmlText(value);
    xml += "</";
    xml += name;
    xml += '>';
}

std::string ReceivedMessageLogText(const std::string& request) {
    static const std::string received = Gbk("收到消息: ") + "\r\n";
    return received + request;
}

const TXmlNode& RequiredChild(const TXmlNode& root, int index) {
    const TXmlNode* child = root.ChildAt(index);
    if (child == nullptr)
        throw Exception(FormatText("List index out of bounds (%s)", {IntToStr(index)}));
    return *child;
}

TXmlRequest::TXmlRequest(const std::string& request) {
    WriteLog(ReceivedMessageLogText(request));
    m_document.LoadFromText(request);
    m_root = m_document.RootElement();
    if (m_root == nullptr)
        throw Exception("No root element found in xml");
    m_type = Trim(m_root->AttributeValue("type"));
}
