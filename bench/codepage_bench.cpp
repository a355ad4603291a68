#include "platform/CodePageUnit.h"

#include <benchmark/benchmark.h>

namespace {

// An "IssueCard" request of the usual size (about 600 bytes), once with a Chinese guest name and remark,
// once in plain ASCII.
std::string RequestUtf8(bool chinese) {
    const std::string guest = chinese ? "张伟明" : "Zhang Weiming";
    const std::string remark = chinese ? "商务大床房，含早餐" : "Business king room, breakfast included";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<Request type=\"IssueCard\">\r\n"
           "  <RoomNo>0817</RoomNo>\r\n"
           "  <CheckInTime>2008-12-31 14:05:00</CheckInTime>\r\n"
           "  <CheckOutTime>2009-01-02 12:00:00</CheckOutTime>\r\n"
           "  <CardCount>1</CardCount>\r\n"
           "  <IsCopy>0</IsCopy>\r\n"
           "  <GuestName>" +
           guest +
           "</GuestName>\r\n"
           "  <GuestID>110101198001010011</GuestID>\r\n"
           "  <Operator>FrontDesk01</Operator>\r\n"
           "  <Remark>" +
           remark +
           "</Remark>\r\n"
           "  <Reserved1></Reserved1>\r\n"
           "  <Reserved2></Reserved2>\r\n"
           "  <Reserved3>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do "
           "eiusmod</Reserved3>\r\n"
           "  <Reserved4>tempor incididunt ut labore et dolore magna aliqua. Ut enim ad minim "
           "veniam</Reserved4>\r\n"
           "  <Reserved5>quis nostrud exercitation ullamco laboris nisi ut aliquip ex ea "
           "commodo</Reserved5>\r\n"
           "</Request>";
}

void Utf16ToGbkBench(benchmark::State& state, bool chinese) {
    const std::u16string request = Utf8ToUtf16(RequestUtf8(chinese));
    for (auto _ : state)
        benchmark::DoNotOptimize(Utf16ToGbk(request));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size() * sizeof(char16_t)));
}

void GbkToUtf16Bench(benchmark::State& state, bool chinese) {
    const std::string request = Utf8ToGbk(RequestUtf8(chinese));
    for (auto _ : state)
        benchmark::DoNotOptimize(GbkToUtf16(request));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

void GbkToUtf8Bench(benchmark::State& state, bool chinese) {
    const std::string request = Utf8ToGbk(RequestUtf8(chinese));
    for (auto _ : state)
        benchmark::DoNotOptimize(GbkToUtf8(request));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

void Utf8ToGbkBench(benchmark::State& state, bool chinese) {
    const std::string request = RequestUtf8(chinese);
    for (auto _ : state)
        benchmark::DoNotOptimize(Utf8ToGbk(request));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

} // namespace

BENCHMARK_CAPTURE(Utf16ToGbkBench, Chinese, true);
BENCHMARK_CAPTURE(Utf16ToGbkBench, Ascii, false);
BENCHMARK_CAPTURE(GbkToUtf16Bench, Chinese, true);
BENCHMARK_CAPTURE(GbkToUtf16Bench, Ascii, false);
BENCHMARK_CAPTURE(GbkToUtf8Bench, Chinese, true);
BENCHMARK_CAPTURE(GbkToUtf8Bench, Ascii, false);
BENCHMARK_CAPTURE(Utf8ToGbkBench, Chinese, true);
BENCHMARK_CAPTURE(Utf8ToGbkBench, Ascii, false);

BENCHMARK_MAIN();
