#include "server/MessageTextUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/WireUnit.h"

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

namespace {

// At most limit bytes of a text, cut before a character rather than inside one.
std::string Clipped(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    size_t end = 0;
    while (end < text.size()) {
        const size_t next = end + (IsGbkLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1);
        if (next > limit)
            break;
        end = next;
    }
    return std::string(text.substr(0, end)) + "...";
}

constexpr size_t ReasonLimit = 300;

} // namespace

void LogReceivedRequest(const std::string& request, const TRequestOrigin& origin) {
    if (LogFile == nullptr)
        return;
    const std::string peerLine = PeerLine(origin);
    const TLogFile::TTextVerdict verdict = LogFile->TakeText(origin.Address, request.size());
    if (verdict == TLogFile::TTextVerdict::Keep) {
        WriteLogEntry({peerLine, ReceivedMessageLogText(request)});
        return;
    }
    const std::string length = std::to_string(request.size());
    if (verdict == TLogFile::TTextVerdict::LowSpace) {
        WriteLogEntry({peerLine, Gbk("收到消息: [") + length + Gbk(" 字节，日志所在磁盘空间不足，未记录]")});
        return;
    }
    const std::string summary = Gbk("收到消息: [") + length + Gbk(" 字节，未记录]");
    if (verdict == TLogFile::TTextVerdict::OverBudget) {
        WriteLogEntry({peerLine, summary});
        return;
    }
    WriteLogEntry({peerLine, summary,
                   Gbk("来自 ") + origin.Address + Gbk(" 的请求文本本分钟已超过 ") +
                       std::to_string(RequestTextBudgetPerMinute / 1024) +
                       Gbk(" KB，本分钟内其余请求只记录长度")});
}

EMissingElement::EMissingElement(int index, const char* name)
    : Exception(FormatText("List index out of bounds (%s)", {IntToStr(index)})), m_index(index),
      m_name(name) {}

const TXmlNode& RequiredChild(const TXmlNode& root, int index, const char* name) {
    const TXmlNode* child = root.ChildAt(index);
    if (child == nullptr)
        throw EMissingElement(index, name);
    return *child;
}

std::string UnansweredLine(std::string_view reason) {
    return Gbk("请求未应答，连接已关闭：") + std::string(reason);
}

std::string UnansweredReason(const std::exception& error) {
    if (const auto* missing = dynamic_cast<const EMissingElement*>(&error)) {
        std::string reason = Gbk("请求缺少根元素的第 ") + IntToStr(missing->Index() + 1) + Gbk(" 个子元素");
        if (missing->Name() != nullptr)
            reason += std::string(" (") + missing->Name() + ")";
        return reason;
    }
    if (dynamic_cast<const EXmlParseError*>(&error) != nullptr)
        return Gbk("请求不是有效的 XML: ") + Clipped(error.what(), ReasonLimit);
    return Gbk("请求中的值无效: ") + Clipped(error.what(), ReasonLimit);
}

const char* UnansweredLabel(const std::exception& error) {
    if (dynamic_cast<const EMissingElement*>(&error) != nullptr)
        return "missing_field";
    if (dynamic_cast<const EXmlParseError*>(&error) != nullptr)
        return "not_xml";
    if (dynamic_cast<const Exception*>(&error) != nullptr)
        return "bad_value";
    return "handler_error";
}

std::string UnknownTypeReason(const std::string& type) {
    return Gbk("未知的请求类型 \"") + Clipped(type, 100) + "\"";
}

TXmlRequest::TXmlRequest(const std::string& request, const TRequestOrigin& origin) {
    LogReceivedRequest(request, origin);
    m_document.LoadFromText(request);
    m_root = m_document.RootElement();
    if (m_root == nullptr)
        throw EXmlParseError("No root element found in xml");
    m_type = Trim(m_root->AttributeValue("type"));
    if (origin.Report != nullptr)
        origin.Report->Type = m_type;
}
