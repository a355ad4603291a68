#include "server/MessageTextUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "xml/XmlUnit.h"

std::string EscapeXmlText(const std::string& value) {
    if (value.find_first_of("&<>") == std::string::npos)
        return value;
    std::string escaped;
    escaped.reserve(value.size() + 16);
    for (char c : value) {
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
        throw Exception(FormatMessage("List index out of bounds (%s)", {IntToStr(index)}));
    return *child;
}
