#include "server/LogReaderUnit.h"

#include "platform/CodePageUnit.h"

#include <utility>

namespace {

// A line longer than this (no CR LF in sight) is given in parts, so that a file of one endless line cannot
// hold the reader's memory.
constexpr size_t kLongestPart = 64 * 1024;

void AppendByte(std::u16string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    out += u"\\x";
    out.push_back(static_cast<char16_t>(digits[byte >> 4]));
    out.push_back(static_cast<char16_t>(digits[byte & 0x0F]));
}

void AppendCodePoint(std::u16string& out, char16_t unit) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += u"\\u{";
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(static_cast<char16_t>(digits[(unit >> shift) & 0x0F]));
    out.push_back(u'}');
}

// Characters a terminal may act on or that hide what follows them: C1 controls (ESC's single-unit forms),
// bidirectional embeddings, overrides and isolates, invisible marks and joiners, line and paragraph
// separators, the byte-order mark, interlinear annotations; surrogates, which no code page character is.
bool ActsOnTerminal(char16_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0xAD || c == 0x061C || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           (c >= 0xD800 && c <= 0xDFFF) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || c == 0xFFFE ||
           c == 0xFFFF;
}

// The length of the code page character candidate at pos: a lead byte with a trail byte after it is two,
// anything else one, as the converter takes them.
size_t CandidateLength(std::string_view bytes, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    return IsGbkLeadByte(byte(pos)) && pos + 1 < bytes.size() && IsGbkTrailByte(byte(pos + 1)) ? 2 : 1;
}

// Decoding leaves control characters as they are (VisibleCharacters shows them) and turns each byte that is
// no character into the four ASCII characters "\xNN".

// One candidate decoded alone: a character, or each of its bytes as "\xNN" when it names none. The converter
// gives "?" for what it cannot read; no character of the code page beyond ASCII is "?".
void AppendCandidate(std::u16string& out, std::string_view candidate) {
    const std::u16string decoded = GbkToUtf16(candidate);
    if (decoded.size() == 1 && decoded[0] != u'?') {
        out.push_back(decoded[0]);
        return;
    }
    for (char c : candidate)
        AppendByte(out, static_cast<unsigned char>(c));
}

// A run of bytes from 0x80 up (trail bytes below 0x80 included) that ends before an ASCII byte starting a
// character. Every candidate of the code page is one UTF-16 unit, so a run that converts to as many units
// as it has candidates, none of them "?", converts whole; one with a bad byte goes candidate by candidate.
void AppendRun(std::u16string& out, std::string_view run, size_t candidates) {
    const std::u16string decoded = GbkToUtf16(run);
    if (decoded.size() == candidates && decoded.find(u'?') == std::u16string::npos) {
        out.append(decoded);
        return;
    }
    for (size_t pos = 0; pos < run.size();) {
        const size_t length = CandidateLength(run, pos);
        AppendCandidate(out, run.substr(pos, length));
        pos += length;
    }
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "yyyy-mm-dd hh:nn:ss " at the start of a line: one of the writer's own lines.
bool IsPrefixed(std::string_view line) {
    static constexpr std::string_view shape = "0000-00-00 00:00:00 ";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' ? !IsDigit(line[i]) : line[i] != shape[i])
            return false;
    }
    return true;
}

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

} // namespace

std::string VisibleLogLine(std::string_view bytes) {
    std::u16string decoded;
    decoded.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[pos]);
        if (c < 0x80) {
            decoded.push_back(c);
            ++pos;
            continue;
        }
        const size_t start = pos;
        size_t candidates = 0;
        while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) >= 0x80) {
            pos += CandidateLength(bytes, pos);
            ++candidates;
        }
        AppendRun(decoded, bytes.substr(start, pos - start), candidates);
    }
    return VisibleCharacters(decoded);
}

std::string VisibleCharacters(std::u16string_view text) {
    std::u16string shown;
    shown.reserve(text.size());
    for (const char16_t c : text) {
        if (c == u'\t' || (c >= 0x20 && c < 0x7F))
            shown.push_back(c);
        else if (c < 0x80)
            AppendByte(shown, static_cast<unsigned char>(c));
        else if (ActsOnTerminal(c))
            AppendCodePoint(shown, c);
        else
            shown.push_back(c);
    }
    return Utf16ToUtf8(shown);
}

bool IsIpv4Text(std::string_view text) {
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        const size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && IsDigit(text[pos]) && pos - start < 3)
            value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
        const size_t length = pos - start;
        if (length == 0 || value > 255 || (length > 1 && text[start] == '0'))
            return false;
    }
    return pos == text.size();
}

TLogReader::TLogReader(std::string peer) : m_peer(std::move(peer)) {}

std::string TLogReader::Feed(std::string_view bytes) {
    m_pending.append(bytes);
    std::string shown;
    size_t start = 0;
    for (size_t end; (end = m_pending.find("\r\n", start)) != std::string::npos; start = end + 2)
        shown += Line(std::string_view(m_pending).substr(start, end - start), true);
    m_pending.erase(0, start);
    if (m_pending.size() > kLongestPart) {
        // Cut between two characters, and never before the last byte, which may be the CR of a CR LF.
        size_t cut = 0;
        while (cut + 1 < m_pending.size())
            cut += CandidateLength(m_pending, cut);
        shown += Line(std::string_view(m_pending).substr(0, cut), false);
        m_pending.erase(0, cut);
    }
    return shown;
}

std::string TLogReader::Finish() {
    std::string shown;
    if (!m_pending.empty() || m_lineStarted)
        shown = Line(m_pending, true);
    m_pending.clear();
    m_inEntry = false;
    m_receivedNext = false;
    return shown;
}

std::string TLogReader::Line(std::string_view bytes, bool ends) {
    if (!m_lineStarted)
        m_lineSelected = Selects(bytes);
    m_lineStarted = !ends;
    if (!m_lineSelected)
        return {};
    std::string shown = VisibleLogLine(bytes);
    if (ends)
        shown.push_back('\n');
    return shown;
}

bool TLogReader::Selects(std::string_view line) {
    if (m_peer.empty())
        return true;
    if (!IsPrefixed(line))
        return m_inEntry; // a continuation line goes with the line it continues
    static const std::string peerMark = Gbk("客户端：");
    static const std::string receivedMark = Gbk("收到消息:");
    const std::string_view message = line.substr(20);
    if (StartsWith(message, peerMark)) {
        // ADDR:PORT, then the end or " [SUBJECT]".
        std::string_view origin = message.substr(peerMark.size());
        bool named =
            StartsWith(origin, m_peer) && origin.size() > m_peer.size() && origin[m_peer.size()] == ':';
        if (named) {
            origin.remove_prefix(m_peer.size() + 1);
            size_t digits = 0;
            while (digits < origin.size() && IsDigit(origin[digits]))
                ++digits;
            named = digits > 0 && (digits == origin.size() || origin[digits] == ' ');
        }
        m_inEntry = named;
        m_receivedNext = named;
        return named;
    }
    if (m_receivedNext && StartsWith(message, receivedMark)) {
        m_receivedNext = false;
        return true;
    }
    m_inEntry = false;
    m_receivedNext = false;
    return false;
}
