#include "platform/DateTimeUnit.h"
#include "platform/SysUtilsUnit.h"

#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <utility>

namespace {

// Tests change the process formats; each one gets the fixed formats and leaves them so.
class TDateTimeTest : public ::testing::Test {
protected:
    void SetUp() override { FixProcessFormats(); }
    void TearDown() override { FixProcessFormats(); }
};

std::string Full(TDateTime value) {
    return FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", value);
}

TEST_F(TDateTimeTest, EncodeGivesDaysSince18991230AndDecodeGivesThemBack) {
    struct Case {
        TDateTimeParts parts;
        double value; // < 0: only the round trip is checked
    };
    const Case cases[] = {
        {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
        {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
        {{2008, 12, 31, 0, 0, 0, 0}, 39813.0},
        {{2008, 12, 31, 12, 0, 0, 0}, 39813.5},
        {{2008, 12, 31, 18, 0, 0, 0}, 39813.75},
        {{2000, 2, 29, 23, 59, 59, 999}, -1},
        {{2008, 12, 31, 14, 5, 9, 123}, -1},
        {{9999, 12, 31, 23, 59, 59, 999}, -1},
        {{1, 1, 1, 0, 0, 0, 1}, -1},
        {{1899, 12, 29, 6, 0, 0, 0}, -1},
    };
    for (const Case& c : cases) {
        TDateTime value = 0;
        ASSERT_TRUE(TryEncodeDateTime(c.parts, value)) << c.parts.Year << "-" << c.parts.Month;
        if (c.value >= 0) {
            EXPECT_DOUBLE_EQ(c.value, value);
        }
        const TDateTimeParts back = DecodeDateTime(value);
        EXPECT_EQ(c.parts.Year, back.Year);
        EXPECT_EQ(c.parts.Month, back.Month);
        EXPECT_EQ(c.parts.Day, back.Day);
        EXPECT_EQ(c.parts.Hour, back.Hour);
        EXPECT_EQ(c.parts.Minute, back.Minute);
        EXPECT_EQ(c.parts.Second, back.Second);
        EXPECT_EQ(c.parts.Millisecond, back.Millisecond);
    }
    // Before the epoch the fraction still counts from midnight.
    EXPECT_DOUBLE_EQ(-1.25, EncodeDateTime(1899, 12, 29, 6));
}

TEST_F(TDateTimeTest, ImpossibleDatesAndTimesAreRefused) {
    const TDateTimeParts cases[] = {
        {2008, 13, 1, 0, 0, 0, 0}, {2008, 0, 1, 0, 0, 0, 0},  {2008, 1, 0, 0, 0, 0, 0},
        {2008, 1, 32, 0, 0, 0, 0}, {2008, 2, 30, 0, 0, 0, 0}, {2009, 2, 29, 0, 0, 0, 0},
        {1900, 2, 29, 0, 0, 0, 0}, {2008, 4, 31, 0, 0, 0, 0}, {2008, 1, 1, 24, 0, 0, 0},
        {2008, 1, 1, 0, 60, 0, 0}, {2008, 1, 1, 0, 0, 60, 0}, {2008, 1, 1, 0, 0, 0, 1000},
        {2008, 1, 1, -1, 0, 0, 0}, {0, 1, 1, 0, 0, 0, 0},     {10000, 1, 1, 0, 0, 0, 0},
    };
    for (const TDateTimeParts& parts : cases) {
        TDateTime value = 123;
        EXPECT_FALSE(TryEncodeDateTime(parts, value))
            << parts.Year << "-" << parts.Month << "-" << parts.Day << " " << parts.Hour << ":"
            << parts.Minute << ":" << parts.Second << "." << parts.Millisecond;
        EXPECT_EQ(123, value);
    }
    EXPECT_THROW(EncodeDateTime(2009, 2, 29), EConvertError);
    TDateTime value = 0;
    EXPECT_TRUE(TryEncodeDateTime({2000, 2, 29, 0, 0, 0, 0}, value));
}

TEST_F(TDateTimeTest, DecodeRoundsToTheMillisecondFirst) {
    const TDateTime two = EncodeDateTime(2008, 12, 31, 14, 0, 0);
    const double tiny = 1e-10; // about 9 microseconds
    EXPECT_EQ("2008-12-31 14:00:00.000", Full(two - tiny));
    EXPECT_EQ("2008-12-31 14:00:00.000", Full(two + tiny));
    EXPECT_EQ("2008-12-31 14:00:00.000", Full(39813.0 + 14.0 / 24.0));
    // Sums of minutes that are not exact in binary land on the minute.
    TDateTime value = EncodeDateTime(2008, 12, 31, 0, 0, 0);
    for (int i = 0; i < 14 * 60; ++i)
        value = IncMinutes(value, 1);
    EXPECT_EQ("2008-12-31 14:00:00.000", Full(value));
    // Rounding up past midnight carries into the next day, month and year.
    EXPECT_EQ("2009-01-01 00:00:00.000",
              Full(EncodeDateTime(2008, 12, 31, 23, 59, 59, 999) + 0.6 / 86400000));
    EXPECT_EQ("2008-12-31 23:59:59.999",
              Full(EncodeDateTime(2008, 12, 31, 23, 59, 59, 999) + 0.4 / 86400000));
}

TEST_F(TDateTimeTest, ValuesOutsideTheCalendarDecodeAsNoTime) {
    EXPECT_EQ("1899-12-30 00:00:00.000", Full(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ("1899-12-30 00:00:00.000", Full(std::numeric_limits<double>::infinity()));
    EXPECT_EQ("1899-12-30 00:00:00.000", Full(1e300));
    EXPECT_EQ("1899-12-30 00:00:00.000", Full(-1e300));
    EXPECT_EQ("9999-12-31 23:59:59.999", Full(EncodeDateTime(9999, 12, 31, 23, 59, 59, 999)));
    EXPECT_EQ("0001-01-01 00:00:00.001", Full(EncodeDateTime(1, 1, 1, 0, 0, 0, 1)));
}

TEST_F(TDateTimeTest, IncMinutesMovesAcrossDaysMonthsAndYears) {
    struct Case {
        const char* start;
        int minutes;
        const char* expected;
    };
    const Case cases[] = {
        {"2009-01-01 00:10:00", -20, "2008-12-31 23:50:00"},
        {"2009-01-01 00:00:00", -1, "2008-12-31 23:59:00"},
        {"2008-12-31 23:30:00", 45, "2009-01-01 00:15:00"},
        {"2008-02-28 23:30:00", 60, "2008-02-29 00:30:00"},
        {"2009-02-28 23:30:00", 60, "2009-03-01 00:30:00"},
        {"2008-03-01 00:00:00", -1440, "2008-02-29 00:00:00"},
        {"2008-12-31 14:05:00", 0, "2008-12-31 14:05:00"},
        {"2008-12-31 14:05:00", 366 * 1440, "2010-01-01 14:05:00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, DateTimeToStr(IncMinutes(StrToDateTime(c.start), c.minutes))) << c.start;
}

TEST_F(TDateTimeTest, FormatTokensIgnoreLetterCase) {
    const TDateTime value = EncodeDateTime(2008, 1, 2, 3, 4, 5, 6);
    struct Case {
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {"yyyy-mm-dd hh:nn:ss ", "2008-01-02 03:04:05 "},
        {"yyyymmdd", "20080102"},
        {"MMDD", "0102"},
        {"HH", "03"},
        {"YYYY-MM-DD HH:NN:SS.ZZZ", "2008-01-02 03:04:05.006"},
        {"hhnn", "0304"},
        {"hh:mm:ss", "03:04:05"},
        {"yyyy-mm-dd HH:MM", "2008-01-02 03:04"},
        {"mm:ss", "04:05"},
        {"mm-dd hh:nn", "01-02 03:04"},
        {"[yyyy] room 0101", "[2008] room 0101"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, FormatDateTime(c.format, value)) << c.format;
    EXPECT_EQ("2008-01-02 03:04:05", DateTimeToStr(value));
}

TEST_F(TDateTimeTest, SeparatorsComeFromTheProcessFormats) {
    const TDateTime value = EncodeDateTime(2008, 12, 31, 14, 5, 9);
    FormatSettings.DateSeparator = '/';
    FormatSettings.TimeSeparator = '.';
    EXPECT_EQ("2008/12/31 14.05.09", DateTimeToStr(value));
    TDateTime parsed = 0;
    EXPECT_TRUE(TryStrToDateTime("2008/12/31 14.05.09", parsed));
    EXPECT_EQ(value, parsed);
    EXPECT_FALSE(TryStrToDateTime("2008-12-31 14:05:09", parsed));
    FixProcessFormats();
    EXPECT_EQ("2008-12-31 14:05:09", DateTimeToStr(value));
    EXPECT_EQ("2008-12-31 14:05:09", DateTimeToStr(StrToDateTime("2008-12-31 14:05:09")));
}

TEST_F(TDateTimeTest, ParsingAcceptsOneOrTwoDigitFields) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"2008-12-31 14:05:00", "2008-12-31 14:05:00.000"},
        {"2008-12-31", "2008-12-31 00:00:00.000"},
        {"2008-1-2", "2008-01-02 00:00:00.000"},
        {"2008-1-2 3:4", "2008-01-02 03:04:00.000"},
        {"2008-01-02 3:4:5", "2008-01-02 03:04:05.000"},
        {"2008-12-31 14:05:00.250", "2008-12-31 14:05:00.250"},
        {"  2008-12-31 14:05  ", "2008-12-31 14:05:00.000"},
        {"2008-12-31  14:05", "2008-12-31 14:05:00.000"},
        {"2008-02-29 23:59:59", "2008-02-29 23:59:59.000"},
        {"2000-2-29", "2000-02-29 00:00:00.000"},
    };
    for (const Case& c : cases) {
        TDateTime value = 0;
        ASSERT_TRUE(TryStrToDateTime(c.text, value)) << c.text;
        EXPECT_EQ(c.expected, Full(value)) << c.text;
    }
}

TEST_F(TDateTimeTest, ParsingRejectsMalformedAndImpossibleText) {
    const char* cases[] = {
        "",
        "   ",
        "2008-13-01",
        "2008-0-01",
        "2009-02-29",
        "1900-02-29",
        "2008-04-31",
        "2008-12-31 24:00",
        "2008-12-31 23:60",
        "2008-12-31 23:59:60",
        "2008-12-31T14:05",
        "2008-12-31 14",
        "2008-12-31 14:",
        "2008-12-31 14:05:",
        "2008-12-31 14:05:00.",
        "2008-12-31 14:05:00.5",
        "2008-12-31 14:05:00.1234",
        "2008-12-31 014:05",
        "2008-123-1",
        "08-12-31",
        "20081-12-31",
        "2008/12/31",
        "2008-12-31 14:05:00 x",
        "abcd-ef-gh",
        "2008-12-3a",
        "-2008-12-31",
        "2008--12-31",
        "14:05:00",
    };
    for (const char* text : cases) {
        TDateTime value = 42;
        EXPECT_FALSE(TryStrToDateTime(text, value)) << '"' << text << '"';
        EXPECT_EQ(42, value) << text;
    }
}

TEST_F(TDateTimeTest, IsoTextHasFixedFieldsAndSeparatorsWhateverTheProcessFormats) {
    FormatSettings.DateSeparator = '/';
    FormatSettings.TimeSeparator = '.';
    const std::pair<const char*, const char*> cases[] = {
        {"2008-12-31", "2008/12/31 00.00.00.000"},
        {"2008-12-31 14:05:09", "2008/12/31 14.05.09.000"},
        {"2008-12-31T14:05:09.5", "2008/12/31 14.05.09.500"},
        {"2008-12-31 14:05:09.123987", "2008/12/31 14.05.09.123"},
        {"2008-1-31", nullptr},
        {"2008-12-31 4:05:09", nullptr},
        {"2008-12-31 14:05", nullptr},
        {"2008-12-31  14:05:09", nullptr},
        {"2008/12/31", nullptr},
        {"2008-12-31 14:05:09.5x", nullptr},
    };
    for (const auto& [text, expected] : cases) {
        TDateTime value = 42;
        ASSERT_EQ(TryIsoStrToDateTime(text, value), expected != nullptr) << text;
        EXPECT_EQ(expected != nullptr ? std::string(expected) : Full(42), Full(value)) << text;
    }
}

TEST_F(TDateTimeTest, StrToDateTimeNamesTheOriginalTextInItsError) {
    try {
        StrToDateTime(" 2009-02-29 ");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ("' 2009-02-29 ' is not a valid date and time", e.what());
    }
    try {
        StrToDateTime("");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ("'' is not a valid date and time", e.what());
    }
}

TEST_F(TDateTimeTest, LocalTimeConversionsAgreeWithTheSystemClock) {
    // Midday in every time zone's winter, far from any summer-time change.
    const std::time_t t = 1230724800; // 2008-12-31 12:00:00 UTC
    const auto moment = std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(250);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    const TDateTime value = ToDateTime(moment);
    const TDateTimeParts parts = DecodeDateTime(value);
    EXPECT_EQ(local.tm_year + 1900, parts.Year);
    EXPECT_EQ(local.tm_mon + 1, parts.Month);
    EXPECT_EQ(local.tm_mday, parts.Day);
    EXPECT_EQ(local.tm_hour, parts.Hour);
    EXPECT_EQ(local.tm_min, parts.Minute);
    EXPECT_EQ(local.tm_sec, parts.Second);
    EXPECT_EQ(250, parts.Millisecond);
    EXPECT_EQ(moment, ToTimePoint(value));

    const TDateTime before = ToDateTime(std::chrono::system_clock::now());
    const TDateTime now = Now();
    const TDateTime after = ToDateTime(std::chrono::system_clock::now());
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

} // namespace
