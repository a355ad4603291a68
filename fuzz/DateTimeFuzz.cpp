// The date-time text parser on any text: what it accepts is a real moment, which prints as text that
// parses back to the same moment.
#include "platform/DateTimeUnit.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    TDateTime value = 0;
    if (!TryStrToDateTime(text, value))
        return 0;
    TDateTimeParts parts = DecodeDateTime(value);
    TDateTime again = 0;
    if (!TryEncodeDateTime(parts, again) || again != value)
        std::abort();
    TDateTime reparsed = 0;
    if (!TryStrToDateTime(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", value), reparsed) || reparsed != value)
        std::abort();
    return 0;
}
