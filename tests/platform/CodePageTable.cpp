// Writes this build's conversion of code page 936 to a file: every one- and two-byte sequence (lead byte
// 0x80 to 0xFF with every second byte) to UTF-16, then every UTF-16 unit back, one line each. The Linux and
// the Windows build must write the same file: the check compare_code_page under Wine compares them.
#include "platform/CodePageUnit.h"

#include <cstdio>
#include <string>

namespace {

void AppendHex(std::string& out, unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.push_back(kDigits[(value >> shift) & 0xF]);
}

void AddDecoded(std::string& out, const std::string& bytes) {
    for (const char byte : bytes)
        AppendHex(out, static_cast<unsigned char>(byte), 2);
    for (const char16_t unit : GbkToUtf16(bytes)) {
        out.push_back(' ');
        AppendHex(out, unit, 4);
    }
    out.push_back('\n');
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: codepage-table FILE\n");
        return 2;
    }
    std::string out;
    for (unsigned byte = 0; byte <= 0xFF; ++byte)
        AddDecoded(out, std::string(1, static_cast<char>(byte)));
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
        for (unsigned trail = 0; trail <= 0xFF; ++trail)
            AddDecoded(out, {static_cast<char>(lead), static_cast<char>(trail)});
    }
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        out += "U+";
        AppendHex(out, unit, 4);
        for (const char byte : Utf16ToGbk(std::u16string(1, static_cast<char16_t>(unit)))) {
            out.push_back(' ');
            AppendHex(out, static_cast<unsigned char>(byte), 2);
        }
        out.push_back('\n');
    }
    // Binary: the same bytes on both systems.
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() ||
        std::fclose(file) != 0) {
        std::fprintf(stderr, "codepage-table: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
