// Request decoding on any bytes: a request that is strictly valid UTF-8 decodes to exactly its text, and
// whatever is decoded passes on to the code page and back into a response.
#include "platform/CodePageUnit.h"
#include "server/WireUnit.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Strict UTF-8: shortest forms, no surrogate values, nothing beyond U+10FFFF.
bool StrictUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        size_t length;
        char32_t value;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (c & 0x3F);
        }
        if ((length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
            (length == 4 && (value < 0x10000 || value > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u16string text = DecodeRequest(bytes);
    if (text.size() > bytes.size())
        std::abort();
    if (StrictUtf8(bytes) && Utf16ToUtf8(text) != bytes)
        std::abort();
    std::string response = EncodeResponse(Utf16ToGbk(text));
    if (response.empty() || response.back() != '\0')
        std::abort();
    return 0;
}
