#include "platform/CodePageSystemUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <iconv.h>

// An iconv descriptor of one direction.
class TSystemConverter {
public:
    TSystemConverter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~TSystemConverter() {
        if (Valid())
            iconv_close(m_cd);
    }
    TSystemConverter(const TSystemConverter&) = delete;
    TSystemConverter& operator=(const TSystemConverter&) = delete;

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

namespace {

// Code page 936 by its Windows name: GNU libiconv's plain "GBK" lacks the euro sign at 0x80 that Windows
// has there; glibc treats both names alike. "GBK" is the fallback for an iconv that knows only that name.
constexpr const char* kCodePageNames[] = {"CP936", "GBK"};
constexpr const char* kUtf16Name = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

std::unique_ptr<TSystemConverter> OpenConverter(bool toCodePage) {
    for (const char* name : kCodePageNames) {
        auto cd = toCodePage ? std::make_unique<TSystemConverter>(name, kUtf16Name)
                             : std::make_unique<TSystemConverter>(kUtf16Name, name);
        if (cd->Valid())
            return cd;
    }
    throw Exception("The system code page 936 is not available");
}

// Converters any thread borrows: an iconv_t must not be used by two threads at once, and opening one costs
// more than converting a typical request, which a new thread per connection would otherwise pay each time.
class TConverterPool {
public:
    std::unique_ptr<TSystemConverter> Take(bool toCodePage) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto& free = m_free[toCodePage ? 1 : 0];
            if (!free.empty()) {
                std::unique_ptr<TSystemConverter> cd = std::move(free.back());
                free.pop_back();
                return cd;
            }
        }
        return OpenConverter(toCodePage);
    }

    void Give(bool toCodePage, std::unique_ptr<TSystemConverter> cd) noexcept {
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
    std::vector<std::unique_ptr<TSystemConverter>> m_free[2];
};

TConverterPool& Pool() {
    static TConverterPool pool;
    return pool;
}

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

} // namespace

TRunConverter::~TRunConverter() {
    if (m_converter != nullptr)
        Pool().Give(m_toCodePage, std::unique_ptr<TSystemConverter>(m_converter));
}

TSystemConverter& TRunConverter::Converter() {
    if (m_converter == nullptr)
        m_converter = Pool().Take(m_toCodePage).release();
    return *m_converter;
}

void TRunConverter::AppendUtf16Run(std::string_view run, std::u16string& out) {
    TSystemConverter& cd = Converter();
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
        const bool pair = error == EILSEQ && inLeft >= 2 && IsGbkLeadByte(bad[0]) && IsGbkTrailByte(bad[1]);
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

void TRunConverter::AppendGbkRun(std::u16string_view run, std::string& out) {
    TSystemConverter& cd = Converter();
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
