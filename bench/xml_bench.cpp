#include "xml/XmlUnit.h"

#include <benchmark/benchmark.h>

namespace {

struct TField {
    const char* name;
    const char* value;
};

// An "IssueCard" request as the hotel system sends it; the guest name "张三" in GBK.
const TField IssueCardFields[] = {
    {"RequestID", "1"},
    {"RegisterId", "R2008123100012"},
    {"RoomBuildingCode", "01"},
    {"RoomFloorCode", "08"},
    {"RoomNo", "0816"},
    {"GuestName", "\xD5\xC5\xC8\xFD"},
    {"CheckInDate", "2008-12-29"},
    {"CheckInTime", "12:00:00"},
    {"CheckOutDate", "2008-12-31"},
    {"CheckOutTime", "14:30:00"},
    {"IsCopy", "0"},
};

std::string IssueCardRequest(bool indented) {
    std::string text = "<DoorRequest type=\"IssueCard\">";
    for (const TField& field : IssueCardFields) {
        if (indented)
            text += "\r\n    ";
        text += std::string("<") + field.name + ">" + field.value + "</" + field.name + ">";
    }
    if (indented)
        text += "\r\n";
    return text + "</DoorRequest>";
}

// What the request handler does with a request: load it, read the type and the eleven values.
void ReadRequest(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        TXmlDocument document;
        document.LoadFromText(text);
        TXmlNode* root = document.RootElement();
        std::string type = root->AttributeValue("type");
        benchmark::DoNotOptimize(type);
        for (int i = 0; i < 11; ++i) {
            std::string value = root->ChildAt(i)->ValueText();
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_IssueCardCompact(benchmark::State& state) {
    ReadRequest(state, IssueCardRequest(false));
}
BENCHMARK(BM_IssueCardCompact);

void BM_IssueCardIndented(benchmark::State& state) {
    ReadRequest(state, IssueCardRequest(true));
}
BENCHMARK(BM_IssueCardIndented);

// Hostile or unusual 16 KB requests must stay linear: long comments, text, references and attribute
// chains, nesting past the cap, and quotes that never close.
void LoadOnly(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        TXmlDocument document;
        try {
            document.LoadFromText(text);
            TXmlNode* root = document.RootElement();
            std::string value = root->ValueText() + root->AttributeValue("a");
            benchmark::DoNotOptimize(value);
        } catch (const EXmlParseError&) {
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_LongComment(benchmark::State& state) {
    LoadOnly(state, "<r><!--" + std::string(16 * 1024, '-') + "--></r>");
}
BENCHMARK(BM_LongComment);

void BM_LongText(benchmark::State& state) {
    LoadOnly(state, "<r>" + std::string(16 * 1024, 'x') + "</r>");
}
BENCHMARK(BM_LongText);

void BM_LongReferences(benchmark::State& state) {
    std::string text = "<r>";
    while (text.size() < 16 * 1024)
        text += "&amp;&#65;&nbsp;& ";
    LoadOnly(state, text + "</r>");
}
BENCHMARK(BM_LongReferences);

void BM_ManyAttributeWords(benchmark::State& state) {
    std::string text = "<r a";
    while (text.size() < 16 * 1024)
        text += " = \"v\"";
    LoadOnly(state, text + "/>");
}
BENCHMARK(BM_ManyAttributeWords);

void BM_DeepNesting(benchmark::State& state) {
    std::string text;
    while (text.size() < 16 * 1024)
        text += "<a>";
    LoadOnly(state, text);
}
BENCHMARK(BM_DeepNesting);

void BM_UnclosedQuote(benchmark::State& state) {
    std::string text;
    while (text.size() < 16 * 1024)
        text += "<r a='x'><b c=\"";
    LoadOnly(state, text);
}
BENCHMARK(BM_UnclosedQuote);

} // namespace

BENCHMARK_MAIN();
