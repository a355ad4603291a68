#include "platform/SysUtilsUnit.h"

#include "platform/CodePageUnit.h"

#include <limits>

namespace {

bool IsControlOrSpace(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

std::string_view TrimView(std::string_view text) {
    return TrimBlanks(text, IsControlOrSpace);
}

bool IsLineBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsMarkupBlank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

std::string_view TrimBlanks(std::string_view text, bool (*isBlank)(char)) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool IsAsciiAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    if (a == b)
        return true;
    for (size_t i = 0; i < a.size(); ++i) {
        if (IsGbkLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
            ++i;
        } else if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal number text: leading spaces, an optional sign, digits with an optional fraction (at least one
// digit in all), an optional exponent. Tells whether the number is zero without computing it, so neither
// size nor precision can turn a non-zero number into zero.
bool TryDecimalIsZero(std::string_view text, bool& isZero) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    bool anyDigit = false;
    isZero = true;
    for (bool fraction = false; i < text.size(); ++i) {
        if (IsDigit(text[i])) {
            anyDigit = true;
            isZero = isZero && text[i] == '0';
        } else if (text[i] == '.' && !fraction) {
            fraction = true;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            ++i;
        const size_t exponentStart = i;
        while (i < text.size() && IsDigit(text[i]))
            ++i;
        if (i == exponentStart)
            return false;
    }
    return i == text.size();
}

} // namespace

bool TryStrToInt(std::string_view text, int32_t& value, bool bareX) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (bareX && i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    // Accumulate in 64 bits; the limit is one past INT32_MAX so that the most negative value fits.
    const int64_t limit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        int digit = HexDigitValue(text[i]);
        if (digit < 0 || digit >= base)
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return false;
    }
    int64_t result = negative ? -magnitude : magnitude;
    if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
        return false;
    value = static_cast<int32_t>(result);
    return true;
}

int32_t StrToInt(std::string_view text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError(FormatText("'%s' is not a valid integer value", {text}));
    return value;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
    int32_t value = 0;
    return TryStrToInt(text, value) ? value : defaultValue;
}

bool StrToBoolDef(std::string_view text, bool defaultValue) {
    int32_t number = 0;
    if (TryStrToInt(text, number))
        return number != 0;
    bool isZero = true;
    if (TryDecimalIsZero(text, isZero))
        return !isZero;
    auto equalsNoCase = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
            if (x != b[i])
                return false;
        }
        return true;
    };
    if (equalsNoCase(text, "true"))
        return true;
    if (equalsNoCase(text, "false"))
        return false;
    return defaultValue;
}

std::string IntToStr(int64_t value) {
    return std::to_string(value);
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
    std::string result;
    result.reserve(pattern.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 's' && next != args.end()) {
                result.append(*next++);
                ++i;
                continue;
            }
            if (pattern[i + 1] == '%') {
                result.push_back('%');
                ++i;
                continue;
            }
        }
        result.push_back(pattern[i]);
    }
    return result;
}
