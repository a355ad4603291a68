#include "platform/CodePageUnit.h"
#include "server/TcpServerUnit.h"
#include "server/WireUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

struct TDecodeCase {
    const char* name;
    std::string bytes;
    std::u16string expected;
};

TEST(DecodeRequestTest, FollowsTheByteRules) {
    const TDecodeCase cases[] = {
        {"empty", "", u""},
        {"ascii with CR LF kept", "<a>\r\n</a>", u"<a>\r\n</a>"},
        {"two-byte form", Bytes({0x61, 0xC3, 0xA9}), u"a\u00E9"},
        {"three-byte forms", "\xE5\x86\x99\xE5\x8D\xA1\xE6\x88\x90\xE5\x8A\x9F", u"写卡成功"},
        {"code page bytes are not UTF-8", Bytes({0x41, 0xC4, 0xE3, 0x42}), u""},
        {"three-byte form cut off", Bytes({0x41, 0xE5, 0x86}), u""},
        {"two-byte form cut off", Bytes({0x41, 0xC3}), u""},
        {"bad second continuation", Bytes({0xE5, 0x86, 0x41}), u""},
        {"overlong two-byte", Bytes({0xC0, 0xAF}), u"/"},
        {"overlong three-byte", Bytes({0xE0, 0x80, 0xAF}), u"/"},
        {"overlong NUL", Bytes({0xC0, 0x80, 0x41}), std::u16string(u"\0A", 2)},
        {"surrogate value", Bytes({0xED, 0xA0, 0x80}), u"\xD800"},
        {"continuation byte as lead, bit 0x20 clear", Bytes({0x85, 0x81}), u"\x0141"},
        {"continuation byte as lead, bit 0x20 set", Bytes({0xA5, 0x81, 0x82}), u"\x5042"},
        {"lead 0xF8 reads as three-byte", Bytes({0xF8, 0x81, 0x82}), u"\x8042"},
        {"lead 0xFF reads as three-byte", Bytes({0xFF, 0xBF, 0xBF}), u"\xFFFF"},
        {"four-byte form to surrogate pair", Bytes({0x61, 0xF0, 0x9F, 0x98, 0x80, 0x62}), u"a\U0001F600b"},
        {"highest code point", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), u"\U0010FFFF"},
        {"four-byte lead with three bytes only", Bytes({0xF0, 0x9F, 0x98}), u"\x07D8"},
        {"four-byte lead, third continuation missing", Bytes({0xF0, 0x80, 0x80, 0x41}),
         std::u16string(u"\0A", 2)},
        {"overlong four-byte falls back", Bytes({0xF0, 0x80, 0x80, 0x80, 0x80}), std::u16string(2, u'\0')},
        {"beyond U+10FFFF falls back and is cut off", Bytes({0xF4, 0x90, 0x80, 0x80}), u""},
        {"emoji broken by ascii", Bytes({0xF0, 0x9F, 0x98, 0x41}),
         u"\x07D8"
         u"A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeRequest(c.bytes), c.expected) << c.name;
}

TEST(EncodeResponseTest, EncodesEachUnitAndAppendsNul) {
    EXPECT_EQ(EncodeResponse(Gbk("写卡成功")),
              Bytes({0xE5, 0x86, 0x99, 0xE5, 0x8D, 0xA1, 0xE6, 0x88, 0x90, 0xE5, 0x8A, 0x9F, 0x00}));
    EXPECT_EQ(EncodeResponse(""), Framed(""));
    EXPECT_EQ(EncodeResponse("<r>\r\n</r>"), Framed("<r>\r\n</r>"));
    EXPECT_EQ(EncodeResponse(Gbk("°")), Bytes({0xC2, 0xB0, 0x00}));
}

// A byte stream delivered in pieces of at most `piece` bytes, then closed (0) or failed (-1); what is sent
// is kept, piece by piece, and sending fails from the given piece on.
class TScriptedConnection : public TServerConnection {
public:
    TScriptedConnection(std::string stream, size_t piece, long end = 0, size_t failFrom = SIZE_MAX)
        : m_stream(std::move(stream)), m_piece(piece), m_end(end), m_failFrom(failFrom) {}
    bool SendBytes(const char* data, size_t size) override {
        sent.emplace_back(data, size);
        return sent.size() < m_failFrom;
    }
    long ReceiveBytes(char* data, size_t size) override {
        maxAsked = std::max(maxAsked, size);
        size_t count = std::min({size, m_piece, m_stream.size() - delivered});
        if (count == 0)
            return m_end;
        std::copy_n(m_stream.data() + delivered, count, data);
        delivered += count;
        return static_cast<long>(count);
    }
    TRequestOrigin Origin() const override { return {"10.0.0.5", 4321, ""}; }
    size_t delivered = 0;
    size_t maxAsked = 0;
    std::vector<std::string> sent;

private:
    std::string m_stream;
    size_t m_piece;
    long m_end;
    size_t m_failFrom;
};

struct TReadCase {
    const char* name;
    std::string stream;
    size_t piece;
    long end;
    bool ok;
    std::string request;
};

TEST(ReadRequestTest, DelimitsByTheFirstNul) {
    const std::string longest(MaxRequestLength, 'a');
    const TReadCase cases[] = {
        {"whole", Framed("<a/>") + Framed("<b/>"), 100, 0, true, "<a/>"},
        {"one byte at a time", Framed("<a>\r\n</a>"), 1, 0, true, "<a>\r\n</a>"},
        {"empty request", Framed(""), 100, 0, true, ""},
        {"longest request", Framed(longest), ReceiveChunk, 0, true, longest},
        {"longest request in small pieces", Framed(longest), 1000, 0, true, longest},
        {"one byte too long", Framed(longest + "a"), ReceiveChunk, 0, false, ""},
        {"too long without NUL", std::string(100000, 'a'), ReceiveChunk, 0, false, ""},
        {"peer closes before NUL", "<a/>", 100, 0, false, ""},
        {"socket error before NUL", "<a/>", 100, -1, false, ""},
        {"peer closes at once", "", 100, 0, false, ""},
    };
    for (const auto& c : cases) {
        TScriptedConnection connection(c.stream, c.piece, c.end);
        std::string request = "unchanged";
        EXPECT_EQ(ReadRequest(connection, request), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(request, c.request) << c.name;
        }
        EXPECT_LE(connection.maxAsked, ReceiveChunk) << c.name;
        // A client cannot make the server hold more than one byte past the longest request.
        EXPECT_LE(connection.delivered, MaxRequestLength + 1) << c.name;
    }
}

TEST(ServeRequestTest, HandsTheRequestOverInTheCodePageAndSendsTheAnswerInPieces) {
    const std::string answer = std::string(70000, 'x') + Gbk("写卡成功");
    std::vector<std::string> seen;
    TScriptedConnection connection(Framed("<a>张三</a>"), 100);
    ServeRequest(connection,
                 [&](const std::string& request, const TRequestOrigin& origin) -> std::optional<std::string> {
                     seen.push_back(request);
                     seen.push_back(origin.Text());
                     return answer;
                 });
    EXPECT_EQ(seen, (std::vector<std::string>{Gbk("<a>张三</a>"), "10.0.0.5:4321"}));
    ASSERT_EQ(connection.sent.size(), 3u);
    EXPECT_EQ(connection.sent[0].size(), SendChunk);
    EXPECT_EQ(connection.sent[1].size(), SendChunk);
    EXPECT_EQ(connection.sent[0] + connection.sent[1] + connection.sent[2], EncodeResponse(answer));
}

TEST(ServeRequestTest, SendsNothingWithoutAnAnswerARequestOrAHandler) {
    int calls = 0;
    const TRequestHandler none = [&](const std::string&,
                                     const TRequestOrigin&) -> std::optional<std::string> {
        ++calls;
        return std::nullopt;
    };
    TScriptedConnection unanswered(Framed("<a/>"), 100);
    ServeRequest(unanswered, none);
    EXPECT_EQ(calls, 1);
    // A request cut off before its NUL never reaches the handler.
    TScriptedConnection cutOff("<a/>", 100);
    ServeRequest(cutOff, none);
    EXPECT_EQ(calls, 1);
    TScriptedConnection unserved(Framed("<a/>"), 100);
    ServeRequest(unserved, nullptr);
    for (const auto* connection : {&unanswered, &cutOff, &unserved})
        EXPECT_TRUE(connection->sent.empty());
}

TEST(ServeRequestTest, StopsSendingQuietlyWhenThePeerIsGoneAndPassesHandlerErrorsOn) {
    TScriptedConnection gone(Framed("a"), 100, 0, 1);
    EXPECT_NO_THROW(ServeRequest(
        gone, [](const std::string&, const TRequestOrigin&) { return std::string(70000, 'x'); }));
    EXPECT_EQ(gone.sent.size(), 1u);
    TScriptedConnection failing(Framed("a"), 100);
    EXPECT_THROW(ServeRequest(failing,
                              [](const std::string&, const TRequestOrigin&) -> std::optional<std::string> {
                                  throw std::runtime_error("bad request");
                              }),
                 std::runtime_error);
    EXPECT_TRUE(failing.sent.empty());
}

} // namespace
