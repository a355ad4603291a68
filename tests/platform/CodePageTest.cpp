#include "platform/CodePageUnit.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

const std::string kWriteCardOk = "\xD0\xB4\xBF\xA8\xB3\xC9\xB9\xA6"; // 写卡成功
const char16_t kEmoji[] = u"\U0001F600";                             // one character, two units
const char16_t kThai = u'\u0E01';                                    // not in code page 936

TEST(CodePageTest, ChineseTextHasItsCodePageBytes) {
    EXPECT_EQ(kWriteCardOk, Gbk("写卡成功"));
    EXPECT_EQ("\xA3\xAC\xA3\xA1", Gbk("，！"));
    EXPECT_EQ("\x80", Gbk("€")); // code page 936 has the euro sign at 0x80
    EXPECT_EQ(u"写卡成功", GbkToUtf16(kWriteCardOk));
    EXPECT_EQ("写卡成功", GbkToUtf8(kWriteCardOk));
}

TEST(CodePageTest, TextRoundTripsThroughEveryForm) {
    const char* cases[] = {
        "",
        "IssueCard",
        "房间(0101)发卡成功",
        "<Request type=\"IssueCard\"><GuestName>张三</GuestName></Request>",
        "密码错误 ！",
        "€ 100",
        "ａｂｃ１２３",
        "\t\r\n\x01\x7F",
        "丂A丂@x丂", // trail byte 0x40: below 0x80 but no ASCII character
        // Private-use characters as Windows maps them: the ends of the user-defined areas (AAA1-AFFE,
        // F8A1-FEFE, A140-A7A0), of the unassigned pairs (A2AB ... FEA0) and the single byte 0xFF.
        "\uE000\uE233\uE234\uE4C5\uE4C6\uE4F7\uE765\uE766\uE864\uF8F5",
    };
    for (const char* utf8 : cases) {
        const std::string gbk = Gbk(utf8);
        const std::u16string utf16 = Utf8ToUtf16(utf8);
        EXPECT_EQ(utf8, GbkToUtf8(gbk)) << utf8;
        EXPECT_EQ(utf16, GbkToUtf16(gbk)) << utf8;
        EXPECT_EQ(gbk, Utf16ToGbk(utf16)) << utf8;
        EXPECT_EQ(utf8, Utf16ToUtf8(utf16)) << utf8;
    }
}

// The private-use characters at the code page bytes Windows gives them, in both directions: the ends of each
// user-defined area and, in A140-A7A0, the trail bytes on either side of the 0x7F that the area skips.
TEST(CodePageTest, PrivateUseCharactersHaveTheBytesOfWindows) {
    const struct {
        const char* Bytes;
        const char* Utf8;
    } cases[] = {
        {"\xAA\xA1", "\uE000"}, {"\xAF\xFE", "\uE233"}, {"\xF8\xA1", "\uE234"}, {"\xFE\xFE", "\uE4C5"},
        {"\xA1\x40", "\uE4C6"}, {"\xA1\x7E", "\uE504"}, {"\xA1\x80", "\uE505"}, {"\xA1\xA0", "\uE525"},
        {"\xA2\x40", "\uE526"}, {"\xA7\xA0", "\uE765"}, {"\xA2\xAB", "\uE766"}, {"\xFE\xA0", "\uE864"},
        {"\xFF", "\uF8F5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Bytes, Gbk(c.Utf8)) << c.Utf8;
        EXPECT_EQ(c.Utf8, GbkToUtf8(c.Bytes)) << c.Utf8;
    }
}

TEST(CodePageTest, EachCharacterTheCodePageCannotHoldBecomesOneQuestionMark) {
    const std::u16string emoji(kEmoji);
    struct Case {
        std::u16string text;
        std::string expected;
    };
    const Case cases[] = {
        {emoji, "?"},
        {std::u16string(1, kThai), "?"},
        {u"\uAC00", "?"}, // Hangul
        {emoji + u"写卡成功", "?" + kWriteCardOk},
        {u"写卡" + emoji + u"成功", "\xD0\xB4\xBF\xA8?\xB3\xC9\xB9\xA6"},
        {u"写卡成功" + emoji, kWriteCardOk + "?"},
        {emoji + emoji + emoji + u"a" + kThai + kThai, "???a??"},
        {std::u16string(1, u'\xD800'), "?"},
        {std::u16string(1, u'\xDC00'), "?"},
        {u"a" + std::u16string(1, u'\xD800'), "a?"},
        {std::u16string(1, u'\xD800') + u"卡", "?\xBF\xA8"},
        {std::u16string(1, u'\xDC00') + std::u16string(1, u'\xD800'), "??"},
        {std::u16string(1, u'\xD800') + emoji, "??"},
        {u"\uFFFD", "?"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Utf16ToGbk(c.text)) << Utf16ToUtf8(c.text);
}

TEST(CodePageTest, UnmappableCharactersAnywhereInALongTextKeepTheRest) {
    // About 100 KB: Chinese and ASCII blocks with unmappable characters at the start, between blocks, in
    // long runs and at the end.
    std::u16string text;
    std::string expected;
    auto add = [&](const std::u16string& part, const std::string& gbk) {
        text += part;
        expected += gbk;
    };
    add(kEmoji, "?");
    for (int block = 0; block < 3000; ++block) {
        add(u"写卡成功", kWriteCardOk);
        add(u"Room 0101;", "Room 0101;");
        if (block % 97 == 0)
            add(std::u16string(1, kThai), "?");
        if (block % 500 == 250) {
            for (int i = 0; i < 1000; ++i)
                add(kEmoji, "?");
        }
        if (block == 1234)
            add(std::u16string(1, u'\xDC00'), "?");
    }
    add(std::u16string(1, u'\xD800'), "?");
    ASSERT_GT(expected.size(), 50000u);
    ASSERT_GT(text.size() * 2, 100000u);
    EXPECT_EQ(expected, Utf16ToGbk(text));
}

TEST(CodePageTest, BadCodePageBytesBecomeOneQuestionMarkEach) {
    struct Case {
        std::string gbk;
        std::u16string expected;
    };
    const Case cases[] = {
        {"\x81", u"?"},       // lead byte cut off by the end
        {"a\x81 b", u"a? b"}, // lead byte followed by a byte that cannot trail
        {"\xD0\xB4\x81\x7F\xBF\xA8", u"写?\x7F卡"},
        {"\x81\x81\x81", u"\u4E96?"},
        // Not bad: the single bytes and the pairs glibc's table lacks, as Windows maps them.
        {"\xA1\x40\xBF\xA8", u"\uE4C6卡"},
        {"\xD0\xB4\xFF\xBF\xA8", u"写\uF8F5卡"},
        {"\xA7\x7F\xA7\x80", u"?\x7F\uE745"},
        {"\x80", u"€"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, GbkToUtf16(c.gbk));
        EXPECT_EQ(Utf16ToUtf8(c.expected), GbkToUtf8(c.gbk));
    }
}

TEST(CodePageTest, InvalidUtf8GivesOneReplacementPerBadByte) {
    struct Case {
        std::string utf8;
        std::u16string utf16; // after Utf8ToUtf16
        std::string gbk;      // after Utf8ToGbk
    };
    const Case cases[] = {
        {"\xC4\xE3", u"\uFFFD\uFFFD", "??"}, // code page bytes sent as if UTF-8
        {"a\xE5\x86", u"a\uFFFD\uFFFD", "a??"},
        {"\xC0\xAF", u"\uFFFD\uFFFD", "??"},                       // overlong "/"
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", "???"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", "????"}, // above U+10FFFF
        {"\x80x", u"\uFFFDx", "?x"},
        {"\xF0\x9F\x98\x80", kEmoji, "?"},
        {"卡\xFF卡", u"卡\uFFFD卡", "\xBF\xA8?\xBF\xA8"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.utf16, Utf8ToUtf16(c.utf8));
        EXPECT_EQ(c.gbk, Utf8ToGbk(c.utf8));
    }
    EXPECT_EQ("\xF0\x9F\x98\x80", Utf16ToUtf8(kEmoji));
    EXPECT_EQ("a\xEF\xBF\xBD", Utf16ToUtf8(u"a" + std::u16string(1, u'\xDC00')));
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD",
              Utf16ToUtf8(std::u16string(1, u'\xD800') + std::u16string(1, u'\xD800')));
}

TEST(CodePageTest, OneNonAsciiByteAnywhereLeavesTheAsciiShortcut) {
    // The shortcut tests eight bytes at a time; a non-ASCII character must be seen at every offset.
    for (size_t at = 0; at < 20; ++at) {
        std::string utf8(20, 'x');
        utf8.replace(at, 1, "卡");
        std::string gbk(20, 'x');
        gbk.replace(at, 1, "\xBF\xA8");
        EXPECT_EQ(gbk, Utf8ToGbk(utf8)) << at;
        EXPECT_EQ(utf8, GbkToUtf8(gbk)) << at;
        EXPECT_EQ(Utf8ToUtf16(utf8), GbkToUtf16(gbk)) << at;
        EXPECT_EQ(gbk, Utf16ToGbk(Utf8ToUtf16(utf8))) << at;
    }
}

TEST(CodePageTest, ThreadsConvertIndependently) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([t, &failures] {
            const std::u16string text =
                u"房间(010" + std::u16string(1, static_cast<char16_t>(u'0' + t)) + u")发卡成功" + kEmoji;
            const std::string expected = Utf16ToGbk(text);
            for (int i = 0; i < 500; ++i) {
                if (Utf16ToGbk(text) != expected || GbkToUtf16(expected).size() != text.size() - 1)
                    ++failures[t];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int count : failures)
        EXPECT_EQ(0, count);
}

} // namespace
