#pragma once

// The system's part of the code page conversion, beside the shared part in CodePageUnit.cpp: the runs of
// characters other than ASCII go through iconv (CodePagePosixUnit.cpp) or the Windows API
// (CodePageWindowsUnit.cpp); ASCII is copied around them by the shared part.

#include <string>
#include <string_view>

constexpr bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// What the system keeps for a conversion where it keeps anything (an iconv descriptor).
class TSystemConverter;

// The converter of one direction for the runs of one text: what the system needs for it is taken at the
// first run and given back at the end.
class TRunConverter {
public:
    explicit TRunConverter(bool toCodePage) : m_toCodePage(toCodePage) {}
    ~TRunConverter();
    TRunConverter(const TRunConverter&) = delete;
    TRunConverter& operator=(const TRunConverter&) = delete;

    // Code page bytes from 0x80 up, cut where an ASCII byte starts a character, to UTF-16: a byte sequence
    // that is not GBK gives one "?" per bad byte.
    void AppendUtf16Run(std::string_view run, std::u16string& out);
    // UTF-16 units from 0x80 up, surrogate pairs whole, to code page bytes: one "?" per character the code
    // page cannot hold.
    void AppendGbkRun(std::u16string_view run, std::string& out);

private:
    TSystemConverter& Converter();

    bool m_toCodePage;
    TSystemConverter* m_converter = nullptr;
};
