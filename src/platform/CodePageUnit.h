#pragma once

#include <string>
#include <string_view>

// The system code page is GBK (code page 936). Internal text is GBK bytes; these convert at the edges:
// requests and responses, the database, the window, the console.

// A byte that starts a double-byte character of the code page, and a byte that can end one.
constexpr bool IsGbkLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
constexpr bool IsGbkTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// GBK -> UTF-16. A byte sequence that is not GBK gives one "?" per bad byte.
std::u16string GbkToUtf16(std::string_view gbk);
// UTF-16 -> GBK. Each character GBK cannot hold (a surrogate pair counting as one character, a lone
// surrogate as one) becomes one "?"; the rest of the text is converted normally.
std::string Utf16ToGbk(std::u16string_view text);

// UTF-8 <-> GBK for the database, the window and the console. Invalid UTF-8 bytes become "?".
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// Standard UTF-8 <-> UTF-16 (surrogate pairs as four-byte forms). Invalid input gives U+FFFD per bad byte.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view utf8);

// A text of the program's own (a UTF-8 literal in the source) in the system code page.
inline std::string Gbk(std::string_view utf8) {
    return Utf8ToGbk(utf8);
}
