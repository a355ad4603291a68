#include "platform/DateTimeUnit.h"

#include "platform/SysUtilsUnit.h"

#include <cmath>
#include <cstdint>
#include <ctime>

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kMsPerHour = 3600000;
constexpr int64_t kMsPerMinute = 60000;
constexpr double kMinutesPerDay = 1440.0;

// Days between 1970-01-01 and the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

const int64_t kEpochDays = DaysFromCivil(1899, 12, 30);
// 0001-01-01 is day -693593; the day after 9999-12-31 is day 2958466.
constexpr double kMinValue = -693594.0;
constexpr double kMaxValue = 2958466.0;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool TokenAt(std::string_view format, size_t pos, std::string_view token) {
    if (format.size() - pos < token.size())
        return false;
    for (size_t i = 0; i < token.size(); ++i) {
        if (Lower(format[pos + i]) != token[i])
            return false;
    }
    return true;
}

void AppendNumber(std::string& out, int value, int width) {
    char digits[12];
    int count = 0;
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        out.push_back('-');
    for (int i = count; i < width; ++i)
        out.push_back('0');
    while (count > 0)
        out.push_back(digits[--count]);
}

// Reads minDigits..maxDigits decimal digits at pos.
bool ReadNumber(std::string_view text, size_t& pos, size_t minDigits, size_t maxDigits, int& value) {
    size_t start = pos;
    int result = 0;
    while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
        result = result * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos - start < minDigits)
        return false;
    // A third digit in a two-digit field is a malformed field, not the start of the next one.
    if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
        return false;
    value = result;
    return true;
}

bool ReadChar(std::string_view text, size_t& pos, char expected) {
    if (pos >= text.size() || text[pos] != expected)
        return false;
    ++pos;
    return true;
}

} // namespace

TFormatSettings FormatSettings;

void FixProcessFormats() {
    FormatSettings = TFormatSettings{};
}

bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& value) {
    if (parts.Year < 1 || parts.Year > 9999 || parts.Month < 1 || parts.Month > 12)
        return false;
    if (parts.Day < 1 || parts.Day > DaysInMonth(parts.Year, parts.Month))
        return false;
    if (parts.Hour < 0 || parts.Hour > 23 || parts.Minute < 0 || parts.Minute > 59 || parts.Second < 0 ||
        parts.Second > 59 || parts.Millisecond < 0 || parts.Millisecond > 999)
        return false;
    const double days = static_cast<double>(DaysFromCivil(parts.Year, parts.Month, parts.Day) - kEpochDays);
    const double time = static_cast<double>(parts.Hour * kMsPerHour + parts.Minute * kMsPerMinute +
                                            parts.Second * 1000 + parts.Millisecond) /
                        static_cast<double>(kMsPerDay);
    // Before the epoch the fraction still counts forward from midnight: -1.25 is 1899-12-29 06:00.
    value = days < 0 ? days - time : days + time;
    return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    TDateTime value = 0;
    if (!TryEncodeDateTime({year, month, day, hour, minute, second, millisecond}, value))
        throw EConvertError("Invalid argument to date encode");
    return value;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
    // Outside 0001-01-01 .. 9999-12-31 (or not a number) there is no date; such a value reads as 0, "no
    // time", rather than overflowing the conversions below.
    if (!(value > kMinValue && value < kMaxValue))
        value = 0;
    const double whole = std::trunc(value);
    int64_t day = static_cast<int64_t>(whole);
    // value - whole is exact, so the only rounding is the one to the millisecond.
    int64_t ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++day;
    }
    TDateTimeParts parts;
    CivilFromDays(day + kEpochDays, parts.Year, parts.Month, parts.Day);
    parts.Hour = static_cast<int>(ms / kMsPerHour);
    parts.Minute = static_cast<int>(ms % kMsPerHour / kMsPerMinute);
    parts.Second = static_cast<int>(ms % kMsPerMinute / 1000);
    parts.Millisecond = static_cast<int>(ms % 1000);
    return parts;
}

TDateTime Now() {
    return ToDateTime(std::chrono::system_clock::now());
}

TDateTime ToDateTime(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const auto sinceEpoch = floor<milliseconds>(moment).time_since_epoch();
    const auto seconds = floor<std::chrono::seconds>(sinceEpoch);
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &t) != 0)
        return 0;
#else
    if (localtime_r(&t, &local) == nullptr)
        return 0;
#endif
    TDateTimeParts parts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         // A leap second shows as :60; the value has no room for it.
                         local.tm_sec > 59 ? 59 : local.tm_sec,
                         static_cast<int>((sinceEpoch - seconds).count())};
    TDateTime value = 0;
    TryEncodeDateTime(parts, value);
    return value;
}

std::chrono::system_clock::time_point ToTimePoint(TDateTime value) {
    const TDateTimeParts parts = DecodeDateTime(value);
    std::tm local{};
    local.tm_year = parts.Year - 1900;
    local.tm_mon = parts.Month - 1;
    local.tm_mday = parts.Day;
    local.tm_hour = parts.Hour;
    local.tm_min = parts.Minute;
    local.tm_sec = parts.Second;
    local.tm_isdst = -1; // let the time zone rules say whether summer time applies
    const std::time_t t = std::mktime(&local);
    return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(parts.Millisecond);
}

TDateTime IncMinutes(TDateTime value, int64_t minutes) {
    return (value * kMinutesPerDay + static_cast<double>(minutes)) / kMinutesPerDay;
}

namespace {

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "mm" stands for the minutes when the letter before it is an hour ("hh:mm") or the next letters are
// seconds ("mm:ss"), as the usual format rules read it; otherwise for the month.
bool MinutesAt(std::string_view format, size_t pos) {
    size_t before = pos;
    while (before > 0 && !IsLetter(format[before - 1]))
        --before;
    if (before > 0 && Lower(format[before - 1]) == 'h')
        return true;
    size_t after = pos + 2;
    while (after < format.size() && !IsLetter(format[after]))
        ++after;
    return after < format.size() && Lower(format[after]) == 's';
}

} // namespace

std::string FormatDateTime(std::string_view format, TDateTime value) {
    const TDateTimeParts parts = DecodeDateTime(value);
    std::string out;
    out.reserve(format.size() + 8);
    size_t i = 0;
    while (i < format.size()) {
        if (TokenAt(format, i, "yyyy")) {
            AppendNumber(out, parts.Year, 4);
            i += 4;
        } else if (TokenAt(format, i, "zzz")) {
            AppendNumber(out, parts.Millisecond, 3);
            i += 3;
        } else if (TokenAt(format, i, "mm")) {
            AppendNumber(out, MinutesAt(format, i) ? parts.Minute : parts.Month, 2);
            i += 2;
        } else if (TokenAt(format, i, "dd")) {
            AppendNumber(out, parts.Day, 2);
            i += 2;
        } else if (TokenAt(format, i, "hh")) {
            AppendNumber(out, parts.Hour, 2);
            i += 2;
        } else if (TokenAt(format, i, "nn")) {
            AppendNumber(out, parts.Minute, 2);
            i += 2;
        } else if (TokenAt(format, i, "ss")) {
            AppendNumber(out, parts.Second, 2);
            i += 2;
        } else {
            const char c = format[i++];
            out.push_back(c == '-'   ? FormatSettings.DateSeparator
                          : c == ':' ? FormatSettings.TimeSeparator
                                     : c);
        }
    }
    return out;
}

std::string DateTimeToStr(TDateTime value) {
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", value);
}

bool TryStrToDateTime(std::string_view text, TDateTime& value) {
    const std::string trimmed = Trim(text);
    const std::string_view s = trimmed;
    const char dateSep = FormatSettings.DateSeparator;
    const char timeSep = FormatSettings.TimeSeparator;
    TDateTimeParts parts;
    size_t pos = 0;
    if (!ReadNumber(s, pos, 4, 4, parts.Year) || !ReadChar(s, pos, dateSep) ||
        !ReadNumber(s, pos, 1, 2, parts.Month) || !ReadChar(s, pos, dateSep) ||
        !ReadNumber(s, pos, 1, 2, parts.Day))
        return false;
    parts.Hour = parts.Minute = parts.Second = parts.Millisecond = 0;
    if (pos < s.size()) {
        if (s[pos] != ' ')
            return false;
        while (pos < s.size() && s[pos] == ' ')
            ++pos;
        if (!ReadNumber(s, pos, 1, 2, parts.Hour) || !ReadChar(s, pos, timeSep) ||
            !ReadNumber(s, pos, 1, 2, parts.Minute))
            return false;
        if (pos < s.size()) {
            if (!ReadChar(s, pos, timeSep) || !ReadNumber(s, pos, 1, 2, parts.Second))
                return false;
            if (pos < s.size() && (!ReadChar(s, pos, '.') || !ReadNumber(s, pos, 3, 3, parts.Millisecond)))
                return false;
        }
    }
    if (pos != s.size())
        return false;
    return TryEncodeDateTime(parts, value);
}

TDateTime StrToDateTime(std::string_view text) {
    TDateTime value = 0;
    if (!TryStrToDateTime(text, value))
        throw EConvertError(FormatText("'%s' is not a valid date and time", {text}));
    return value;
}

bool TryIsoStrToDateTime(std::string_view text, TDateTime& value) {
    TDateTimeParts parts;
    size_t pos = 0;
    if (!ReadNumber(text, pos, 4, 4, parts.Year) || !ReadChar(text, pos, '-') ||
        !ReadNumber(text, pos, 2, 2, parts.Month) || !ReadChar(text, pos, '-') ||
        !ReadNumber(text, pos, 2, 2, parts.Day))
        return false;
    if (pos < text.size()) {
        if ((!ReadChar(text, pos, ' ') && !ReadChar(text, pos, 'T')) ||
            !ReadNumber(text, pos, 2, 2, parts.Hour) || !ReadChar(text, pos, ':') ||
            !ReadNumber(text, pos, 2, 2, parts.Minute) || !ReadChar(text, pos, ':') ||
            !ReadNumber(text, pos, 2, 2, parts.Second))
            return false;
        if (ReadChar(text, pos, '.')) {
            // PostgreSQL gives microseconds; the value keeps milliseconds.
            for (int scale = 100; pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
                 ++pos, scale /= 10)
                parts.Millisecond += (text[pos] - '0') * scale;
        }
    }
    return pos == text.size() && TryEncodeDateTime(parts, value);
}
