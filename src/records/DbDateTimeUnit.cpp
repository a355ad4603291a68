#include "records/DbDateTimeUnit.h"

#include <cstdio>

std::string DateTimeToDbText(TDateTime value) {
    TDateTimeParts parts = DecodeDateTime(value);
    if (parts.Millisecond >= 500) {
        int seconds = parts.Hour * 3600 + parts.Minute * 60 + parts.Second + 1;
        if (seconds == 86400) {
            TDateTime day = 0;
            TryEncodeDateTime(TDateTimeParts{parts.Year, parts.Month, parts.Day}, day);
            // The day number is whole, so the next day is one more even before 1899-12-30.
            parts = DecodeDateTime(day + 1);
            seconds = 0;
        }
        parts.Hour = seconds / 3600;
        parts.Minute = seconds / 60 % 60;
        parts.Second = seconds % 60;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.Year, parts.Month, parts.Day,
                  parts.Hour, parts.Minute, parts.Second);
    return text;
}

void BindDateTime(TDateTime value, std::string& text, soci::indicator& indicator) {
    if (value == 0) {
        text.clear();
        indicator = soci::i_null;
    } else {
        text = DateTimeToDbText(value);
        indicator = soci::i_ok;
    }
}
