#include "server/WireUnit.h"

#include "platform/CodePageUnit.h"
#include "server/LogFileUnit.h"
#include "server/MessageTextUnit.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// A four-byte form that is well-formed in the strict sense: three continuation bytes and a value beyond the
// basic plane that a surrogate pair can carry. Anything else keeps the one-to-three-byte reading.
bool DecodeFourByteForm(std::string_view bytes, size_t index, char32_t& codePoint) {
    auto lead = static_cast<unsigned char>(bytes[index]);
    if (lead < 0xF0 || lead > 0xF4 || bytes.size() - index < 4)
        return false;
    auto c1 = static_cast<unsigned char>(bytes[index + 1]);
    auto c2 = static_cast<unsigned char>(bytes[index + 2]);
    auto c3 = static_cast<unsigned char>(bytes[index + 3]);
    if (!IsContinuation(c1) || !IsContinuation(c2) || !IsContinuation(c3))
        return false;
    codePoint = (char32_t(lead & 0x07) << 18) | (char32_t(c1 & 0x3F) << 12) | (char32_t(c2 & 0x3F) << 6) |
                char32_t(c3 & 0x3F);
    return codePoint >= 0x10000 && codePoint <= 0x10FFFF;
}

} // namespace

std::u16string DecodeRequest(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    size_t index = 0;
    while (index < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[index]);
        if (lead < 0x80) {
            text.push_back(lead);
            ++index;
            continue;
        }
        char32_t codePoint;
        if (DecodeFourByteForm(bytes, index, codePoint)) {
            codePoint -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
            index += 4;
            continue;
        }
        // Overlong forms, surrogate values and leads from 0xF5 up are read by the lead's bit 0x20 alone; only
        // a missing or malformed continuation byte spoils the request, and then all of it.
        if (lead & 0x20) {
            if (bytes.size() - index < 3)
                return {};
            auto c1 = static_cast<unsigned char>(bytes[index + 1]);
            auto c2 = static_cast<unsigned char>(bytes[index + 2]);
            if (!IsContinuation(c1) || !IsContinuation(c2))
                return {};
            text.push_back(static_cast<char16_t>(((lead & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (c2 & 0x3F)));
            index += 3;
        } else {
            if (bytes.size() - index < 2)
                return {};
            auto c = static_cast<unsigned char>(bytes[index + 1]);
            if (!IsContinuation(c))
                return {};
            text.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (c & 0x3F)));
            index += 2;
        }
    }
    return text;
}

std::string EncodeResponse(std::string_view response) {
    std::u16string text = GbkToUtf16(response);
    std::string bytes;
    bytes.reserve(text.size() * 3 + 1);
    // Unit by unit, as the clients have always received it: a surrogate pair travels as two three-byte forms.
    for (char16_t unit : text) {
        if (unit < 0x80) {
            bytes.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    bytes.push_back('\0');
    return bytes;
}

TFrameReader::TState TFrameReader::Feed(const char* data, size_t size) {
    if (m_state != TState::NeedMore)
        return m_state;
    const void* nul = std::memchr(data, '\0', size);
    const size_t taken = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
    if (m_bytes.size() + taken > MaxRequestLength) {
        m_state = TState::TooLong;
        return m_state;
    }
    m_bytes.append(data, taken);
    if (nul != nullptr)
        m_state = TState::Complete;
    return m_state;
}

bool ReadRequest(TServerConnection& connection, std::string& request, bool* tooLong) {
    if (tooLong != nullptr)
        *tooLong = false;
    TFrameReader frame;
    // Received into the stack first: a string of that size would be cleared and allocated for every request.
    char chunk[std::min(ReceiveChunk, MaxRequestLength + 1)];
    for (;;) {
        const size_t wanted = std::min(sizeof chunk, frame.Wanted());
        const long received = connection.ReceiveBytes(chunk, wanted);
        if (received <= 0 || static_cast<size_t>(received) > wanted)
            return false;
        switch (frame.Feed(chunk, static_cast<size_t>(received))) {
        case TFrameReader::TState::Complete:
            request = std::move(frame.Request());
            return true;
        case TFrameReader::TState::TooLong:
            if (tooLong != nullptr)
                *tooLong = true;
            return false;
        case TFrameReader::TState::NeedMore:
            break;
        }
    }
}

std::string PeerLine(const TRequestOrigin& origin) {
    return Gbk("客户端：") + origin.Text();
}

void LogTooLongRequest(const TRequestOrigin& origin) {
    WriteLogEntry({PeerLine(origin), UnansweredLine(Gbk("请求超过 ") + std::to_string(MaxRequestLength) +
                                                    Gbk(" 字节，未读完"))});
}

std::optional<std::string> AnswerRequest(const std::string& bytes, const TRequestOrigin& origin,
                                         const TRequestHandler& handler) {
    if (!handler)
        return std::nullopt;
    const std::u16string text = DecodeRequest(bytes);
    // Bytes that are not UTF-8 reach the handler as an empty request, as they always have; the reason then
    // names them rather than what the handler made of nothing.
    const bool notUtf8 = text.empty() && !bytes.empty();
    std::optional<std::string> response;
    try {
        // The handler logs the request's entry (LogReceivedRequest) with the peer line.
        response = handler(Utf16ToGbk(text), origin);
    } catch (const std::exception& e) {
        WriteLog(UnansweredLine(notUtf8 ? Gbk("请求不是有效的 UTF-8") : UnansweredReason(e)));
        if (origin.Report != nullptr)
            origin.Report->Unanswered = notUtf8 ? "not_utf8" : UnansweredLabel(e);
        throw;
    }
    if (!response) {
        // A handler closes without an answer, having logged why, only for a type it does not serve.
        if (origin.Report != nullptr)
            origin.Report->Unanswered = "unknown_type";
        return std::nullopt;
    }
    return EncodeResponse(*response);
}

void ServeRequest(TServerConnection& connection, const TRequestHandler& handler) {
    std::string bytes;
    bool tooLong = false;
    if (!ReadRequest(connection, bytes, &tooLong)) {
        // Only a request that arrived in full, or one that is too long, is attributed: a connection that
        // never sends one leaves no line of its own (the deadline's line is throttled), so idle connections
        // cannot fill the log.
        if (tooLong)
            LogTooLongRequest(connection.Origin());
        return;
    }
    const std::optional<std::string> response = AnswerRequest(bytes, connection.Origin(), handler);
    if (!response)
        return;
    // A client that went away ends the cycle like an answered one.
    for (size_t offset = 0; offset < response->size(); offset += SendChunk) {
        const size_t piece = std::min(SendChunk, response->size() - offset);
        if (!connection.SendBytes(response->data() + offset, piece))
            return;
    }
}
