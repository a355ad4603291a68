#include "platform/CodePageSystemUnit.h"
#include "platform/CodePageUnit.h"

#include <windows.h>

namespace {

constexpr UINT kCodePage = 936;

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

} // namespace

TRunConverter::~TRunConverter() = default;

void TRunConverter::AppendUtf16Run(std::string_view run, std::u16string& out) {
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
        if (IsGbkLeadByte(bytes[pos]) && pos + 1 < run.size() && IsGbkTrailByte(bytes[pos + 1])) {
            // A lead and trail byte pair that names no character is two bad bytes, as with iconv.
            if (DecodeCodePageChar(run.data() + pos, 2, unit))
                out.push_back(unit);
            else
                out.append(u"??");
            pos += 2;
            continue;
        }
        out.push_back(!IsGbkLeadByte(bytes[pos]) && DecodeCodePageChar(run.data() + pos, 1, unit) ? unit
                                                                                                  : u'?');
        ++pos;
    }
}

void TRunConverter::AppendGbkRun(std::u16string_view run, std::string& out) {
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
