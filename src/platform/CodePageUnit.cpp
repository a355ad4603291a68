#include "platform/CodePageUnit.h"

#include "platform/SysUtilsUnit.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

#ifdef _WIN32

constexpr UINT kCodePage = 936;

// The code page calls need no state; the types stand in for the pooled converters of other systems.
struct TIconv {};

class TConverterLease {
public:
    explicit TConverterLease(bool) {}
    TIconv& operator*() { return m_none; }

private:
    TIconv m_none;
};

#else

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

// Converters any thread borrows: an iconv_t must not be used by two threads at once, and opening one costs
// more than converting a typical request, which a new thread per connection would otherwise pay each time.
class TConverterPool {
public:
    std::unique_ptr<TIconv> Take(bool toCodePage) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto& free = m_free[toCodePage ? 1 : 0];
            if (!free.empty()) {
                std::unique_ptr<TIconv> cd = std::move(free.back());
                free.pop_back();
                return cd;
            }
        }
        return OpenConverter(toCodePage);
    }

    void Give(bool toCodePage, std::unique_ptr<TIconv> cd) noexcept {
        cd->Reset();
        try {
            std::lock_guard<std::mutex> guard(m_lock);
            m_free[toCodePage ? 1 : 0].push_back(std::move(cd));
        } catch (...) {
            // Out of memory: this one is closed instead of kept.
        }
    }

private:
    std::mutex m_lock;
    std::vector<std::unique_ptr<TIconv>> m_free[2];
};

TConverterPool& Pool() {
    static TConverterPool pool;
    return pool;
}

// A converter of one direction, borrowed at its first use and given back at the end of the conversion.
class TConverterLease {
public:
    explicit TConverterLease(bool toCodePage) : m_toCodePage(toCodePage) {}
    ~TConverterLease() {
        if (m_cd)
            Pool().Give(m_toCodePage, std::move(m_cd));
    }
    TConverterLease(const TConverterLease&) = delete;
    TConverterLease& operator=(const TConverterLease&) = delete;

    TIconv& operator*() {
        if (!m_cd)
            m_cd = Pool().Take(m_toCodePage);
        return *m_cd;
    }

private:
    bool m_toCodePage;
    std::unique_ptr<TIconv> m_cd;
};

#endif

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

// ASCII is the same in every form, and most of a request is ASCII: it is copied here, and only the runs of
// other characters go through iconv.
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

#ifdef _WIN32

// One character of the code page (one or two bytes) to UTF-16; false when it names none.
bool DecodeCodePageChar(const char* bytes, int length, char16_t& unit) {
    wchar_t wide[2];
    const int count = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes, length, wide, 2);
    if (count == 1) {
        unit = static_cast<char16_t>(wide[0]);
        return true;
    }
    // MB_ERR_INVALID_CHARS also refuses a single byte that maps to a private-use character (0xFF, U+F8F5),
    // which the plain call, as every ANSI function, maps all the same. Only the default "?" names none.
    if (length != 1 || MultiByteToWideChar(kCodePage, 0, bytes, 1, wide, 2) != 1 || wide[0] == L'?')
        return false;
    unit = static_cast<char16_t>(wide[0]);
    return true;
}

void AppendUtf16Run(TIconv&, std::string_view run, std::u16string& out) {
    const size_t start = out.size();
    out.resize(start + run.size());
    // Most runs are whole characters: one call. Only a run with a bad byte goes character by character.
    const int whole =
        MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, run.data(), static_cast<int>(run.size()),
                            reinterpret_cast<wchar_t*>(out.data() + start), static_cast<int>(run.size()));
    if (whole > 0) {
        out.resize(start + static_cast<size_t>(whole));
        return;
    }
    out.resize(start);
    const auto* bytes = reinterpret_cast<const unsigned char*>(run.data());
    size_t pos = 0;
    while (pos < run.size()) {
        char16_t unit;
        if (IsGbkLead(bytes[pos]) && pos + 1 < run.size() && IsGbkTrail(bytes[pos + 1])) {
            // A lead and trail byte pair that names no character is two bad bytes, as with iconv.
            if (DecodeCodePageChar(run.data() + pos, 2, unit))
                out.push_back(unit);
            else
                out.append(u"??");
            pos += 2;
            continue;
        }
        out.push_back(!IsGbkLead(bytes[pos]) && DecodeCodePageChar(run.data() + pos, 1, unit) ? unit : u'?');
        ++pos;
    }
}

void AppendGbkRun(TIconv&, std::u16string_view run, std::string& out) {
    const size_t start = out.size();
    out.resize(start + run.size() * 2); // at most two bytes per unit
    // No best-fit look-alikes: a character the code page cannot hold becomes "?" as on other systems.
    BOOL usedDefault = FALSE;
    const int whole =
        WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(run.data()),
                            static_cast<int>(run.size()), out.data() + start,
                            static_cast<int>(run.size() * 2), "?", &usedDefault);
    if (whole > 0 && !usedDefault) {
        out.resize(start + static_cast<size_t>(whole));
        return;
    }
    // One "?" per character, a surrogate pair (which code page 936 never holds) counting as one.
    out.resize(start);
    for (size_t i = 0; i < run.size(); ++i) {
        const char16_t unit = run[i];
        if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            if (IsHighSurrogate(unit) && i + 1 < run.size() && IsLowSurrogate(run[i + 1]))
                ++i;
            out.push_back('?');
            continue;
        }
        char bytes[4];
        usedDefault = FALSE;
        const int count =
            WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(&unit), 1,
                                bytes, sizeof bytes, "?", &usedDefault);
        if (count <= 0 || usedDefault)
            out.push_back('?');
        else
            out.append(bytes, static_cast<size_t>(count));
    }
}

#else

// Code page 936 as Windows has it holds more than glibc's table: the user-defined areas are the private-use
// characters U+E000-U+E765, the pairs left unassigned among the symbols and at D7FA-D7FE and FE50-FEA0 are
// U+E766-U+E864 in the order of their bytes, and the single byte 0xFF is U+F8F5. Text from Windows desks
// holds them, so they convert as there rather than as "?".
struct TPairRange {
    uint16_t First;
    uint16_t Last;
};
constexpr TPairRange kUnassignedPairs[] = {
    {0xA2AB, 0xA2B0}, {0xA2E3, 0xA2E4}, {0xA2EF, 0xA2F0}, {0xA2FD, 0xA2FE}, {0xA4F4, 0xA4FE},
    {0xA5F7, 0xA5FE}, {0xA6B9, 0xA6C0}, {0xA6D9, 0xA6DF}, {0xA6EC, 0xA6ED}, {0xA6F3, 0xA6F3},
    {0xA6F6, 0xA6FE}, {0xA7C2, 0xA7D0}, {0xA7F2, 0xA7FE}, {0xA896, 0xA8A0}, {0xA8BC, 0xA8BC},
    {0xA8BF, 0xA8BF}, {0xA8C1, 0xA8C4}, {0xA8EA, 0xA8FE}, {0xA958, 0xA958}, {0xA95B, 0xA95B},
    {0xA95D, 0xA95F}, {0xA989, 0xA995}, {0xA997, 0xA9A3}, {0xA9F0, 0xA9FE}, {0xD7FA, 0xD7FE},
    {0xFE50, 0xFE7E}, {0xFE80, 0xFEA0},
};
constexpr char16_t kFirstUnassigned = 0xE766;
constexpr char16_t kLastPrivateUse = 0xE864;
constexpr unsigned char kPrivateUseByte = 0xFF;
constexpr char16_t kPrivateUseOfByte = 0xF8F5;

// The private-use character of a pair glibc does not map; 0 when the pair is none of those.
char16_t PrivateUseOfPair(unsigned char lead, unsigned char trail) {
    if (trail >= 0xA1 && trail <= 0xFE) {
        if (lead >= 0xAA && lead <= 0xAF)
            return static_cast<char16_t>(0xE000 + (lead - 0xAA) * 94 + (trail - 0xA1));
        if (lead >= 0xF8 && lead <= 0xFE)
            return static_cast<char16_t>(0xE234 + (lead - 0xF8) * 94 + (trail - 0xA1));
    }
    if (lead >= 0xA1 && lead <= 0xA7 && trail >= 0x40 && trail <= 0xA0 && trail != 0x7F)
        return static_cast<char16_t>(0xE4C6 + (lead - 0xA1) * 96 + (trail - 0x40) - (trail > 0x7F ? 1 : 0));
    const unsigned code = static_cast<unsigned>(lead) << 8 | trail;
    unsigned unit = kFirstUnassigned;
    for (const TPairRange& range : kUnassignedPairs) {
        if (code >= range.First && code <= range.Last)
            return static_cast<char16_t>(unit + (code - range.First));
        unit += range.Last - range.First + 1u;
    }
    return 0;
}

// The reverse: the code page bytes of such a character (two, or one for U+F8F5); 0 when it is none.
size_t CodePageOfPrivateUse(char16_t unit, char bytes[2]) {
    const auto pair = [bytes](unsigned lead, unsigned trail) {
        bytes[0] = static_cast<char>(lead);
        bytes[1] = static_cast<char>(trail);
        return size_t{2};
    };
    if (unit == kPrivateUseOfByte) {
        bytes[0] = static_cast<char>(kPrivateUseByte);
        return 1;
    }
    if (unit < 0xE000 || unit > kLastPrivateUse)
        return 0;
    if (unit < 0xE234)
        return pair(0xAA + (unit - 0xE000) / 94, 0xA1 + (unit - 0xE000) % 94);
    if (unit < 0xE4C6)
        return pair(0xF8 + (unit - 0xE234) / 94, 0xA1 + (unit - 0xE234) % 94);
    if (unit < kFirstUnassigned) {
        const unsigned trail = 0x40 + (unit - 0xE4C6) % 96;
        return pair(0xA1 + (unit - 0xE4C6) / 96, trail >= 0x7F ? trail + 1 : trail);
    }
    unsigned index = unit - kFirstUnassigned;
    for (const TPairRange& range : kUnassignedPairs) {
        const unsigned count = range.Last - range.First + 1u;
        if (index < count)
            return pair((range.First + index) >> 8, (range.First + index) & 0xFF);
        index -= count;
    }
    return 0;
}

void AppendUtf16Run(TIconv& cd, std::string_view run, std::u16string& out) {
    cd.Reset();
    const size_t start = out.size();
    out.resize(start + run.size());
    const char* in = run.data();
    size_t inLeft = run.size();
    char* outBase = reinterpret_cast<char*>(out.data());
    char* cursor = outBase + start * sizeof(char16_t);
    size_t outLeft = run.size() * sizeof(char16_t);
    const auto grow = [&](size_t units) {
        const size_t used = static_cast<size_t>(cursor - outBase);
        out.resize(out.size() + units);
        outBase = reinterpret_cast<char*>(out.data());
        cursor = outBase + used;
        outLeft += units * sizeof(char16_t);
    };
    while (inLeft > 0) {
        const int error = cd.Convert(in, inLeft, cursor, outLeft);
        if (error == 0)
            break;
        if (error == E2BIG) {
            grow(inLeft + 16); // not expected for code page 936; grow rather than lose text
            continue;
        }
        const auto put = [&](char16_t unit) {
            if (outLeft < sizeof unit)
                grow(1);
            std::memcpy(cursor, &unit, sizeof unit);
            cursor += sizeof unit;
            outLeft -= sizeof unit;
        };
        const auto* bad = reinterpret_cast<const unsigned char*>(in);
        const bool pair = error == EILSEQ && inLeft >= 2 && IsGbkLead(bad[0]) && IsGbkTrail(bad[1]);
        const char16_t privateUse = pair ? PrivateUseOfPair(bad[0], bad[1])
                                    : error == EILSEQ && bad[0] == kPrivateUseByte ? kPrivateUseOfByte
                                                                                   : 0;
        // A lead and trail byte pair that names no character is two bad bytes; skipping both keeps the
        // trail byte from being read as the lead of a made-up character.
        const size_t skip = pair ? 2 : 1;
        if (privateUse != 0) {
            put(privateUse);
        } else {
            for (size_t i = 0; i < skip; ++i)
                put(u'?');
        }
        in += skip;
        inLeft -= skip;
        cd.Reset();
    }
    out.resize(static_cast<size_t>(cursor - outBase) / sizeof(char16_t));
}

void AppendGbkRun(TIconv& cd, std::u16string_view run, std::string& out) {
    cd.Reset();
    const size_t start = out.size();
    out.resize(start + run.size() * 2); // at most two bytes per unit
    const char* inStart = reinterpret_cast<const char*>(run.data());
    const char* in = inStart;
    size_t inLeft = run.size() * sizeof(char16_t);
    char* cursor = out.data() + start;
    size_t outLeft = out.size() - start;
    const auto grow = [&](size_t bytes) {
        const size_t used = static_cast<size_t>(cursor - out.data());
        out.resize(out.size() + bytes);
        cursor = out.data() + used;
        outLeft += bytes;
    };
    while (inLeft > 0) {
        const int error = cd.Convert(in, inLeft, cursor, outLeft);
        if (error == 0)
            break;
        if (error == E2BIG) {
            grow(inLeft + 16);
            continue;
        }
        // EILSEQ: a character code page 936 cannot hold, or a lone surrogate; EINVAL: a high surrogate cut
        // off by the end. Either way one "?" for the character, then carry on behind it.
        const size_t index = static_cast<size_t>(in - inStart) / sizeof(char16_t);
        size_t units = 1;
        if (IsHighSurrogate(run[index]) && index + 1 < run.size() && IsLowSurrogate(run[index + 1]))
            units = 2;
        char privateUse[2];
        const size_t count = error == EILSEQ ? CodePageOfPrivateUse(run[index], privateUse) : 0;
        if (outLeft < 2)
            grow(16);
        if (count != 0) {
            std::memcpy(cursor, privateUse, count);
        } else {
            *cursor = '?';
        }
        const size_t written = count != 0 ? count : 1;
        cursor += written;
        outLeft -= written;
        in += units * sizeof(char16_t);
        inLeft -= units * sizeof(char16_t);
        cd.Reset();
    }
    out.resize(static_cast<size_t>(cursor - out.data()));
}

#endif

// The end of a run of code page characters other than ASCII that starts at pos. A trail byte may be
// below 0x80, so the run ends only before an ASCII byte that starts a character.
size_t GbkRunEnd(std::string_view gbk, size_t pos) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(gbk.data());
    while (pos < gbk.size() && bytes[pos] >= 0x80)
        pos += IsGbkLead(bytes[pos]) ? 2 : 1;
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
    TConverterLease cd(false);
    const size_t size = gbk.size();
    size_t pos = 0;
    while (pos < size) {
        size_t end = AsciiRunEnd(gbk, pos);
        AppendWidened(result, gbk.substr(pos, end - pos));
        if (end == size)
            break;
        pos = end;
        end = GbkRunEnd(gbk, pos);
        AppendUtf16Run(*cd, gbk.substr(pos, end - pos), result);
        pos = end;
    }
    return result;
}

std::string Utf16ToGbk(std::u16string_view text) {
    std::string result;
    result.reserve(text.size() * 2);
    TConverterLease cd(true);
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
        AppendGbkRun(*cd, text.substr(pos, end - pos), result);
        pos = end;
    }
    return result;
}

std::string GbkToUtf8(std::string_view gbk) {
    std::string result;
    result.reserve(gbk.size() + gbk.size() / 2);
    std::u16string scratch;
    TConverterLease cd(false);
    size_t pos = 0;
    while (pos < gbk.size()) {
        const size_t end = AsciiRunEnd(gbk, pos);
        result.append(gbk.substr(pos, end - pos));
        if (end == gbk.size())
            break;
        const size_t runEnd = GbkRunEnd(gbk, end);
        scratch.clear();
        AppendUtf16Run(*cd, gbk.substr(end, runEnd - end), scratch);
        AppendEncodedUtf8(result, scratch);
        pos = runEnd;
    }
    return result;
}

std::string Utf8ToGbk(std::string_view utf8) {
    std::string result;
    result.reserve(utf8.size());
    std::u16string scratch;
    TConverterLease cd(true);
    size_t pos = 0;
    while (pos < utf8.size()) {
        const size_t end = AsciiRunEnd(utf8, pos);
        result.append(utf8.substr(pos, end - pos));
        if (end == utf8.size())
            break;
        const size_t runEnd = NonAsciiRunEnd(utf8, end);
        scratch.clear();
        AppendDecodedUtf8(scratch, utf8.substr(end, runEnd - end), u'?');
        AppendGbkRun(*cd, scratch, result);
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
