#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The date-time value: days since 1899-12-30 as the integer part, the time of day as the fraction.
// 0 stands for "no time".
using TDateTime = double;

struct TDateTimeParts {
    int Year = 1899;
    int Month = 12;
    int Day = 30;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// The process formats: dates "yyyy-MM-dd", times "hh:mm:ss", separators "-" and ":". The host window fixes
// them at start-up; every formatting and parsing in the process goes through them, so the platform's
// regional settings never change a date's text.
struct TFormatSettings {
    std::string ShortDateFormat = "yyyy-MM-dd";
    std::string LongDateFormat = "yyyy-MM-dd";
    std::string ShortTimeFormat = "hh:mm:ss";
    std::string LongTimeFormat = "hh:mm:ss";
    char DateSeparator = '-';
    char TimeSeparator = ':';
};
extern TFormatSettings FormatSettings;
// Sets FormatSettings to the fixed values above.
void FixProcessFormats();

// False for impossible dates and times (month 13, 30 February, hour 24 ...).
bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& value);
// Raises EConvertError for impossible values.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// Rounds the value to the millisecond first, so 14:00 never decodes as 13:59:59.999.
TDateTimeParts DecodeDateTime(TDateTime value);

// Local time now.
TDateTime Now();
TDateTime ToDateTime(std::chrono::system_clock::time_point moment); // local time
std::chrono::system_clock::time_point ToTimePoint(TDateTime value); // local time

// Exact minute arithmetic: (value * 1440 + minutes) / 1440.
TDateTime IncMinutes(TDateTime value, int64_t minutes);

// Formats with the tokens yyyy, mm (month; minutes right after an hour or before seconds), dd, hh, nn
// (minutes), ss, zzz, matched without regard to letter case; "-" and ":" give the process separators, other
// characters are copied.
std::string FormatDateTime(std::string_view format, TDateTime value);
// "yyyy-mm-dd hh:nn:ss"
std::string DateTimeToStr(TDateTime value);

// Parses "yyyy-m-d", "yyyy-m-d h:n", "yyyy-m-d h:n:s" or "yyyy-m-d h:n:s.zzz" (fields of one or two digits,
// year of four, blanks around the text ignored), with the process separators.
bool TryStrToDateTime(std::string_view text, TDateTime& value);
// As TryStrToDateTime; raises EConvertError "'%s' is not a valid date and time".
TDateTime StrToDateTime(std::string_view text);

// Parses the ISO text databases give back: "yyyy-mm-dd", optionally followed by a blank or "T" and
// "hh:mm:ss" and a fraction of a second of any length (its digits past the millisecond dropped); fields of
// fixed width, separators "-" and ":" whatever the process formats.
bool TryIsoStrToDateTime(std::string_view text, TDateTime& value);
