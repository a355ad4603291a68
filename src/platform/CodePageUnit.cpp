#include "platform/CodePageUnit.h"

#include "platform/SysUtilsUnit.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <memory>

namespace {

// Code page 936 by its Windows name: GNU libiconv's plain "GBK" lacks the euro sign at 0x80 that Windows
// has there; glibc treats both names alike. "GBK" is the fallback for an iconv that knows only that name.
constexpr const char* kCodePageNames[] = {"CP936", "GBK"};
constexpr const char* kUtf16Name = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class TIconv {
public:
    TIconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~TIconv() {
        if (Valid())
            iconv_close(m_cd);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;

    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as possible; in/out advance. Returns 0 or the errno that stopped the conversion.
    int Convert(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
        // POSIX declares the input as char**; glibc never writes through it.
        char* src = const_cast<char*>(in);
        size_t result = iconv(m_cd, &src, &inLeft, &out, &outLeft);
        in = src;
        return result == static_cast<size_t>(-1) ? errno : 0;
    }

    // Back to the initial shift state, as after a failed character.
    void Reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t m_cd;
};

std::unique_ptr<TIconv> OpenConverter(bool toCodePage) {
    for (const char* name : kCodePageNames) {
        auto cd = toCodePage ? std::make_unique<TIconv>(name, kUtf16Name)
                             : std::make_unique<TIconv>(kUtf16Name, name);
        if (cd->Valid())
            return cd;
    }
    throw Exception("The system code page 936 is not available");
}

// One converter per thread and direction: an iconv_t must not be shared, and opening one per call would
// cost more than converting a typical request.
TIconv& Converter(bool toCodePage) {
    if (toCodePage) {
        thread_local const std::unique_ptr<TIconv> toGbk = OpenConverter(true);
        return *toGbk;
    }
    thread_local const std::unique_ptr<TIconv> fromGbk = OpenConverter(false);
    return *fromGbk;
}

bool IsAscii(std::string_view text) {
    // Eight bytes at a time: the common request is plain ASCII.
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, text.data() + i, 8);
        if (chunk & 0x8080808080808080ull)
            return false;
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return false;
    }
    return true;
}

bool IsAscii(std::u16string_view text) {
    for (char16_t c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool IsGbkLead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
bool IsGbkTrail(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
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

} // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
    std::u16string result;
    if (IsAscii(gbk)) {
        result.resize(gbk.size());
        for (size_t i = 0; i < gbk.size(); ++i)
            result[i] = static_cast<unsigned char>(gbk[i]);
        return result;
    }
    TIconv& cd = Converter(false);
    cd.Reset();
    // Every character of code page 936 is one UTF-16 unit made of one or two bytes, so the input's byte
    // count is room enough; a bad byte gives one "?" in place of at least one byte.
    result.resize(gbk.size());
    const char* in = gbk.data();
    size_t inLeft = gbk.size();
    char* outStart = reinterpret_cast<char*>(result.data());
    char* out = outStart;
    size_t outLeft = result.size() * sizeof(char16_t);
    while (inLeft > 0) {
        const int error = cd.Convert(in, inLeft, out, outLeft);
        if (error == 0)
            break;
        if (error == E2BIG) {
            // Not expected for code page 936; grow rather than lose text.
            const size_t used = static_cast<size_t>(out - outStart);
            result.resize(result.size() + inLeft + 16);
            outStart = reinterpret_cast<char*>(result.data());
            out = outStart + used;
            outLeft = result.size() * sizeof(char16_t) - used;
            continue;
        }
        // A lead and trail byte pair that names no character is two bad bytes; skipping both keeps the
        // trail byte from being read as the lead of a made-up character.
        const auto* bad = reinterpret_cast<const unsigned char*>(in);
        const size_t skip = error == EILSEQ && inLeft >= 2 && IsGbkLead(bad[0]) && IsGbkTrail(bad[1]) ? 2 : 1;
        for (size_t i = 0; i < skip; ++i) {
            if (outLeft < sizeof(char16_t))
                break; // cannot happen: each skipped byte freed at least its own unit
            const char16_t mark = u'?';
            std::memcpy(out, &mark, sizeof mark);
            out += sizeof mark;
            outLeft -= sizeof mark;
        }
        in += skip;
        inLeft -= skip;
        cd.Reset();
    }
    result.resize(static_cast<size_t>(out - outStart) / sizeof(char16_t));
    return result;
}

std::string Utf16ToGbk(std::u16string_view text) {
    std::string result;
    if (IsAscii(text)) {
        result.resize(text.size());
        for (size_t i = 0; i < text.size(); ++i)
            result[i] = static_cast<char>(text[i]);
        return result;
    }
    TIconv& cd = Converter(true);
    cd.Reset();
    // At most two bytes per UTF-16 unit.
    result.resize(text.size() * 2);
    const char* inStart = reinterpret_cast<const char*>(text.data());
    const char* in = inStart;
    size_t inLeft = text.size() * sizeof(char16_t);
    char* out = result.data();
    size_t outLeft = result.size();
    while (inLeft > 0) {
        const int error = cd.Convert(in, inLeft, out, outLeft);
        if (error == 0)
            break;
        const size_t used = static_cast<size_t>(out - result.data());
        if (error == E2BIG) {
            result.resize(result.size() + inLeft + 16);
            out = result.data() + used;
            outLeft = result.size() - used;
            continue;
        }
        // EILSEQ: a character code page 936 cannot hold, or a lone surrogate; EINVAL: a high surrogate cut
        // off by the end. Either way one "?" for the character, then carry on behind it.
        const size_t index = static_cast<size_t>(in - inStart) / sizeof(char16_t);
        size_t units = 1;
        if (IsHighSurrogate(text[index]) && index + 1 < text.size() && IsLowSurrogate(text[index + 1]))
            units = 2;
        if (outLeft < 1) {
            result.resize(result.size() + 16);
            out = result.data() + used;
            outLeft = result.size() - used;
        }
        *out++ = '?';
        --outLeft;
        in += units * sizeof(char16_t);
        inLeft -= units * sizeof(char16_t);
        cd.Reset();
    }
    result.resize(static_cast<size_t>(out - result.data()));
    return result;
}

std::string GbkToUtf8(std::string_view gbk) {
    if (IsAscii(gbk))
        return std::string(gbk);
    return Utf16ToUtf8(GbkToUtf16(gbk));
}

std::string Utf8ToGbk(std::string_view utf8) {
    if (IsAscii(utf8))
        return std::string(utf8);
    std::u16string text;
    text.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t code;
        if (DecodeUtf8(utf8, pos, code)) {
            AppendUtf16(text, code);
        } else {
            text.push_back(u'?');
            ++pos;
        }
    }
    return Utf16ToGbk(text);
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size() * 3);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(result,
                       0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(result, 0xFFFD);
        } else {
            AppendUtf8(result, unit);
        }
    }
    return result;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string result;
    result.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t code;
        if (DecodeUtf8(utf8, pos, code)) {
            AppendUtf16(result, code);
        } else {
            result.push_back(u'\uFFFD');
            ++pos;
        }
    }
    return result;
}
