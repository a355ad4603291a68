#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// An error carrying its message text, as the runtime library raises them.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A text that does not convert to the number or date it should hold.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Removes leading and trailing blanks and control characters (every byte up to 0x20). Bytes from 0x80 up
// belong to double-byte characters of the code page and are kept.
std::string Trim(std::string_view text);
// As Trim, without copying.
std::string_view TrimView(std::string_view text);

// The blanks of an INI line: space and tab.
bool IsLineBlank(char c);
// XML white space: space, tab, CR and LF.
bool IsMarkupBlank(char c);
// The text without the leading and trailing bytes the predicate calls blanks.
std::string_view TrimBlanks(std::string_view text, bool (*isBlank)(char));

char LowerAscii(char c);
bool IsAsciiAlphanumeric(char c);
// 0 to 15 for a hexadecimal digit, -1 for any other byte.
int HexDigitValue(char c);
// Equal without regard to the case of ASCII letters. The trail byte of a double-byte character is compared
// as it is, so two different Chinese characters never count as equal.
bool SameText(std::string_view a, std::string_view b);

// Integer reading: leading spaces skipped, an optional "-" or "+", then decimal digits, or hexadecimal
// digits after "$", "x", "X", "0x" or "0X"; nothing may follow and the value must fit 32 bits signed.
// Profile files know no bare "x" prefix: bareX false refuses it.
bool TryStrToInt(std::string_view text, int32_t& value, bool bareX = true);
// As TryStrToInt; raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view text);
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);

// A text that reads as an integer or as a decimal number (sign, fraction, exponent, any size) is true when
// not zero; otherwise "True" / "False" without regard to letter case; anything else gives the default.
bool StrToBoolDef(std::string_view text, bool defaultValue);

// Decimal text of a number.
std::string IntToStr(int64_t value);

// Replaces each "%s" in the pattern by the next argument, in order ("%%" gives "%").
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);
