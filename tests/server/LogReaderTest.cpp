#include "server/LogReaderUnit.h"

#include "platform/CodePageUnit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// A log line as the writer puts it into the file: prefix, GBK message, CR LF.
std::string Logged(const std::string& utf8Message) {
    return "2026-03-01 10:00:00 " + Gbk(utf8Message) + "\r\n";
}

// Continuation lines carry no prefix.
std::string Continued(const std::string& bytes) {
    return bytes + "\r\n";
}

std::string ReadWhole(const std::string& peer, const std::string& file) {
    TLogReader reader(peer);
    return reader.Feed(file) + reader.Finish();
}

} // namespace

// The file may hold any byte; each shows as what it is, and nothing after it is lost.
TEST(LogReaderTest, EveryByteShowsVisiblyAndNothingStopsTheLine) {
    struct TCase {
        const char* name;
        std::string bytes;
        std::string shown;
    };
    const TCase cases[] = {
        {"ASCII and TAB", "ok\tdone", "ok\tdone"},
        {"GBK", "\xB4\xAE\xBF\xDA \xB3\xC9\xB9\xA6", "串口 成功"},
        {"user-defined area as Windows writes it", "\xAA\xA1\xFE\xFE!", "\uE000\uE4C5!"},
        {"unassigned symbol pair", "\xA2\xAB", "\uE766"},
        {"0x80, the euro sign", "\x80 5", "€ 5"},
        {"lone lead byte at the end", "a\x81", "a\\x81"},
        {"lone lead byte before ASCII", "\x81 \xB4\xAE", "\\x81 串"},
        {"lead byte before a digit", "\xB4\x30\xB4\xAE", "\\xb40串"},
        {"bad trail: DEL", "\xB4\x7F\xBF\xDA", "\\xb4\\x7f口"},
        {"bad trail: CR", "\xB4\rx", "\\xb4\\x0dx"},
        {"two lead bytes: one pair", "\x81\x81", "\u4E96"},
        {"ESC [2A", "\x1B[2Aforged", "\\x1b[2Aforged"},
        {"backspace", "pass\x08\x08\x08\x08word", "pass\\x08\\x08\\x08\\x08word"},
        {"DEL", "a\x7F", "a\\x7f"},
        {"NUL", "a\0b"s, "a\\x00b"},
        {"lone CR", "over\rwrite", "over\\x0dwrite"},
        {"lone LF", "two\nlines", "two\\x0alines"},
        {"bell and form feed", "\x07\x0C", "\\x07\\x0c"},
        // UTF-8 control and bidi bytes in the file are code page text, never the character they are in UTF-8.
        {"UTF-8 NEL", "\xC2\x85z", "\u805Fz"},
        {"UTF-8 RLO", "\xE2\x80\xAE", "\u9225\\xae"},
        {"the writer's own escape stays", "\\x1b[2A", "\\x1b[2A"},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(VisibleLogLine(c.bytes), c.shown) << c.name;
        // A bad byte costs nothing after it.
        EXPECT_EQ(VisibleLogLine(c.bytes + " \xB3\xC9 end"), c.shown + " 成 end") << c.name;
    }
}

// What decoding can give beyond the code page's own characters: whatever a terminal acts on is shown.
TEST(LogReaderTest, CharactersATerminalActsOnAreShownByCode) {
    struct TCase {
        std::u16string text;
        std::string shown;
    };
    const TCase cases[] = {
        {u"a\u202Eb", "a\\u{202E}b"},
        {u"\u202A\u202B\u202C\u202D", "\\u{202A}\\u{202B}\\u{202C}\\u{202D}"},
        {u"\u2066x\u2069", "\\u{2066}x\\u{2069}"},
        {u"\u0085\u009B2A\u0080\u009F", "\\u{0085}\\u{009B}2A\\u{0080}\\u{009F}"},
        {u"\u200B\u200F\u2028\uFEFF", "\\u{200B}\\u{200F}\\u{2028}\\u{FEFF}"},
        {u"\u00A0\u00A1\u2030\u20AC", "\u00A0\u00A1\u2030\u20AC"},
        {u"\u001B\u007F\t", "\\x1b\\x7f\t"},
        {std::u16string(1, char16_t{0xD800}), "\\u{D800}"},
        {u"\u201F\u2027\u2030\u205F\u2070\uFFF8\uFFFC", "\u201F\u2027\u2030\u205F\u2070\uFFF8\uFFFC"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(VisibleCharacters(c.text), c.shown) << c.shown;
}

TEST(LogReaderTest, PeerSelectsItsEntriesOnly) {
    const std::string request1 = Logged("客户端：127.0.0.1:40001") + Logged("收到消息: ") +
                                 Continued("<DoorRequest type=\"ReadCard\">") + Continued("</DoorRequest>");
    const std::string request2 = Logged("客户端：127.0.0.2:40002") + Logged("收到消息: ") +
                                 Continued("<DoorRequest type=\"EraseCard\"/>");
    const std::string hostLine = Logged("门锁接口启动");
    struct TCase {
        const char* name;
        std::string peer;
        std::string log;
        std::vector<std::string> shown; // the messages, without the prefix where they have one
    };
    const TCase cases[] = {
        {"two peers and the host's lines",
         "127.0.0.1",
         hostLine + request1 + request2 + Logged("读卡成功") + request1,
         {"客户端：127.0.0.1:40001", "收到消息: ", "<DoorRequest type=\"ReadCard\">", "</DoorRequest>",
          "客户端：127.0.0.1:40001", "收到消息: ", "<DoorRequest type=\"ReadCard\">", "</DoorRequest>"}},
        {"the other peer",
         "127.0.0.2",
         request1 + request2 + hostLine,
         {"客户端：127.0.0.2:40002", "收到消息: ", "<DoorRequest type=\"EraseCard\"/>"}},
        {"no peer: every line",
         "",
         hostLine + request2,
         {"门锁接口启动", "客户端：127.0.0.2:40002", "收到消息: ", "<DoorRequest type=\"EraseCard\"/>"}},
        {"any port, a TLS subject",
         "127.0.0.1",
         Logged("客户端：127.0.0.1:1 [CN=hotel-system]") + Logged("收到消息: ") + Continued("x"),
         {"客户端：127.0.0.1:1 [CN=hotel-system]", "收到消息: ", "x"}},
        {"another address that starts alike",
         "127.0.0.1",
         Logged("客户端：127.0.0.10:5") + Logged("收到消息: ") + Continued("x") +
             Logged("客户端：127.0.0.1") + Logged("客户端：127.0.0.1:") + Logged("客户端：127.0.0.1:5x") +
             Logged("客户端：127.0.0.1 5"),
         {}},
        {"a host line between ends the entry",
         "127.0.0.1",
         Logged("客户端：127.0.0.1:5") + hostLine + Logged("收到消息: ") + Continued("x"),
         {"客户端：127.0.0.1:5"}},
        {"only one received line",
         "127.0.0.1",
         Logged("客户端：127.0.0.1:5") + Logged("收到消息: ") + Continued("x") + Logged("收到消息: ") +
             Continued("y"),
         {"客户端：127.0.0.1:5", "收到消息: ", "x"}},
        // The writer marks a request's line that looks like its own with a TAB: it stays in its entry, and
        // a peer line forged in another peer's request selects nothing.
        {"forged lines in a request",
         "127.0.0.1",
         request2 + Continued("\t2026-03-01 10:00:00 " + Gbk("客户端：127.0.0.1:7")) +
             Logged("客户端：127.0.0.1:8") + Logged("收到消息: ") +
             Continued("\t2026-03-01 10:00:00 " + Gbk("读卡成功")),
         {"客户端：127.0.0.1:8", "收到消息: ", "\t2026-03-01 10:00:00 读卡成功"}},
    };
    for (const TCase& c : cases) {
        std::string expected;
        for (const std::string& line : c.shown)
            expected += (line.empty() || line[0] == '<' || line[0] == '\t' || line[0] == 'x' || line[0] == 'y'
                             ? line
                             : "2026-03-01 10:00:00 " + line) +
                        "\n";
        EXPECT_EQ(ReadWhole(c.peer, c.log), expected) << c.name;
    }
}

// A file is read in whatever pieces the reads give: a CR LF or a character cut between two reads, a last
// line whose CR LF has not come yet, a line without end.
TEST(LogReaderTest, PiecesOfAnySizeReadAsTheWhole) {
    const std::string file = Logged("客户端：127.0.0.1:5") + Logged("收到消息: ") +
                             Continued("\x1B\xAA\xA1\x81") + Logged("串口") +
                             "2026-03-01 10:00:00 \xB4\xAE\xBF";
    const std::string whole = "2026-03-01 10:00:00 客户端：127.0.0.1:5\n2026-03-01 10:00:00 收到消息: \n"
                              "\\x1b\uE000\\x81\n2026-03-01 10:00:00 串口\n2026-03-01 10:00:00 串\\xbf\n";
    for (size_t size : {1, 2, 3, 7, 64}) {
        TLogReader reader;
        std::string shown;
        for (size_t at = 0; at < file.size(); at += size)
            shown += reader.Feed(std::string_view(file).substr(at, size));
        EXPECT_EQ(shown + reader.Finish(), whole) << size;
    }
    // The last line only once it ends, or with Finish.
    TLogReader reader;
    EXPECT_EQ(reader.Feed("a\r\nb\r"), "a\n");
    EXPECT_EQ(reader.Feed("\n"), "b\n");
    EXPECT_EQ(reader.Feed("c"), "");
    EXPECT_EQ(reader.Finish(), "c\n");
    EXPECT_EQ(reader.Finish(), "");

    // A line longer than the reader keeps comes in parts, cut between characters, as one line.
    std::string endless;
    for (int i = 0; i < 30000; ++i)
        endless += "a\xB4\xAE";
    TLogReader longReader;
    std::string shown;
    size_t parts = 0;
    for (size_t at = 0; at < endless.size(); at += 4096) {
        const std::string part = longReader.Feed(std::string_view(endless).substr(at, 4096));
        parts += part.empty() ? 0 : 1;
        shown += part;
    }
    EXPECT_GT(parts, 0u); // some before the end
    EXPECT_EQ(shown + longReader.Feed("\r\n"), VisibleLogLine(endless) + "\n");
}

TEST(LogReaderTest, PeerAddressesAreDottedQuads) {
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.20.30.40"})
        EXPECT_TRUE(IsIpv4Text(good)) << good;
    for (const char* bad : {"", "127.0.0", "127.0.0.1.", "127.0.0.01", "256.0.0.1", "1.2.3.4:5", "a.b.c.d",
                            "::1", " 127.0.0.1", "1..2.3", "1234.1.1.1"})
        EXPECT_FALSE(IsIpv4Text(bad)) << bad;
}
