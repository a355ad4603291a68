#include "platform/CodePageUnit.h"

#include "platform/CodePageSystemUnit.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// The end of the run of ASCII bytes from pos: eight bytes at a time, as most of a request is ASCII.
size_t AsciiRunEnd(std::string_view text, size_t pos) {
    for (; pos + 8 <= text.size(); pos += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, text.data() + pos, 8);
        const uint64_t high = chunk & 0x8080808080808080ull;
        if (high != 0) {
            if constexpr (std::endian::native == std::endian::little)
                return pos + static_cast<size_t>(std::countr_zero(high)) / 8;
            else
                return pos + static_cast<size_t>(std::countl_zero(high)) / 8;
        }
    }
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80)
        ++pos;
    return pos;
}

// The same for UTF-16 units, four at a time.
size_t AsciiRunEnd(std::u16string_view text, size_t pos) {
    for (; pos + 4 <= text.size(); pos += 4) {
        uint64_t chunk;
        std::memcpy(&chunk, text.data() + pos, 8);
        const uint64_t high = chunk & 0xFF80FF80FF80FF80ull;
        if (high != 0) {
            if constexpr (std::endian::native == std::endian::little)
                return pos + static_cast<size_t>(std::countr_zero(high)) / 16;
            else
                return pos + static_cast<size_t>(std::countl_zero(high)) / 16;
        }
    }
    while (pos < text.size() && text[pos] < 0x80)
        ++pos;
    return pos;
}

// Decodes one well-formed UTF-8 sequence at pos; false (pos unchanged) for a bad byte.
bool DecodeUtf8(std::string_view text, size_t& pos, char32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        code = lead;
        ++pos;
        return true;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return false;
    }
    if (text.size() - pos < length)
        return false;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    code = value;
    pos += length;
    return true;
}

void AppendUtf16(std::u16string& out, char32_t code) {
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// ASCII is the same in every form, and most of a request is ASCII: it is copied here, and only the runs of
// other characters go through the system's converter.
void AppendWidened(std::u16string& out, std::string_view ascii) {
    const size_t used = out.size();
    const size_t count = ascii.size();
    out.resize(used + count);
    // Plain pointers: a char store may alias the string's own members, which would keep the loop scalar.
    char16_t* target = out.data() + used;
    const char* source = ascii.data();
    for (size_t i = 0; i < count; ++i)
        target[i] = static_cast<char16_t>(source[i]);
}

void AppendNarrowed(std::string& out, std::u16string_view ascii) {
    const size_t used = out.size();
    const size_t count = ascii.size();
    out.resize(used + count);
    char* target = out.data() + used;
    const char16_t* source = ascii.data();
    for (size_t i = 0; i < count; ++i)
        target[i] = static_cast<char>(source[i]);
}

// The end of a run of code page characters other than ASCII that starts at pos. A trail byte may be
// below 0x80, so the run ends only before an ASCII byte that starts a character.
size_t GbkRunEnd(std::string_view gbk, size_t pos) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(gbk.data());
    while (pos < gbk.size() && bytes[pos] >= 0x80)
        pos += IsGbkLeadByte(bytes[pos]) ? 2 : 1;
    return std::min(pos, gbk.size());
}

// Every byte of a UTF-8 sequence for a character other than ASCII is 0x80 or above.
size_t NonAsciiRunEnd(std::string_view utf8, size_t pos) {
    while (pos < utf8.size() && static_cast<unsigned char>(utf8[pos]) >= 0x80)
        ++pos;
    return pos;
}

void AppendEncodedUtf8(std::string& out, std::u16string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t end = AsciiRunEnd(text, i);
        AppendNarrowed(out, text.substr(i, end - i));
        for (i = end; i < text.size() && text[i] >= 0x80; ++i) {
            const char16_t unit = text[i];
            if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
                AppendUtf8(out,
                           0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
                ++i;
            } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
                AppendUtf8(out, 0xFFFD);
            } else {
                AppendUtf8(out, unit);
            }
        }
    }
}

// Decodes UTF-8, one bad mark per byte that is not part of a well-formed sequence.
void AppendDecodedUtf8(std::u16string& out, std::string_view utf8, char16_t bad) {
    size_t pos = 0;
    while (pos < utf8.size()) {
        const size_t end = AsciiRunEnd(utf8, pos);
        AppendWidened(out, utf8.substr(pos, end - pos));
        pos = end;
        while (pos < utf8.size() && static_cast<unsigned char>(utf8[pos]) >= 0x80) {
            char32_t code;
            if (DecodeUtf8(utf8, pos, code)) {
                AppendUtf16(out, code);
            } else {
                out.push_back(bad);
                ++pos;
            }
        }
    }
}

} // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
    std::u16string result;
    // Every character of code page 936 is one UTF-16 unit made of one or two bytes, so the byte count is
    // room enough.
    result.reserve(gbk.size());
    TRunConverter cd(false);
    const size_t size = gbk.size();
    size_t pos = 0;
    while (pos < size) {
        size_t end = AsciiRunEnd(gbk, pos);
        AppendWidened(result, gbk.substr(pos, end - pos));
        if (end == size)
            break;
        pos = end;
        end = GbkRunEnd(gbk, pos);
        cd.AppendUtf16Run(gbk.substr(pos, end - pos), result);
        pos = end;
    }
    return result;
}

std::string Utf16ToGbk(std::u16string_view text) {
    std::string result;
    result.reserve(text.size() * 2);
    TRunConverter cd(true);
    const size_t size = text.size();
    size_t pos = 0;
    while (pos < size) {
        size_t end = AsciiRunEnd(text, pos);
        AppendNarrowed(result, text.substr(pos, end - pos));
        if (end == size)
            break;
        // Surrogates are above 0x80, so a pair never straddles two runs.
        pos = end;
        while (end < size && text[end] >= 0x80)
            ++end;
        cd.AppendGbkRun(text.substr(pos, end - pos), result);
        pos = end;
    }
    return result;
}

std::string GbkToUtf8(std::string_view gbk) {
    std::string result;
    result.reserve(gbk.size() + gbk.size() / 2);
    std::u16string scratch;
    TRunConverter cd(false);
    size_t pos = 0;
    while (pos < gbk.size()) {
        const size_t end = AsciiRunEnd(gbk, pos);
        result.append(gbk.substr(pos, end - pos));
        if (end == gbk.size())
            break;
        const size_t runEnd = GbkRunEnd(gbk, end);
        scratch.clear();
        cd.AppendUtf16Run(gbk.substr(end, runEnd - end), scratch);
        AppendEncodedUtf8(result, scratch);
        pos = runEnd;
    }
    return result;
}

std::string Utf8ToGbk(std::string_view utf8) {
    std::string result;
    result.reserve(utf8.size());
    std::u16string scratch;
    TRunConverter cd(true);
    size_t pos = 0;
    while (pos < utf8.size()) {
        const size_t end = AsciiRunEnd(utf8, pos);
        result.append(utf8.substr(pos, end - pos));
        if (end == utf8.size())
            break;
        const size_t runEnd = NonAsciiRunEnd(utf8, end);
        scratch.clear();
        AppendDecodedUtf8(scratch, utf8.substr(end, runEnd - end), u'?');
        cd.AppendGbkRun(scratch, result);
        pos = runEnd;
    }
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size() + text.size() / 2);
    AppendEncodedUtf8(result, text);
    return result;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string result;
    result.reserve(utf8.size());
    AppendDecodedUtf8(result, utf8, u'\uFFFD');
    return result;
}
