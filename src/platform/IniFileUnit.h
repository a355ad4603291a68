#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A profile file with the Windows rules: sections and keys matched without regard to letter case, values
// trimmed of blanks and of one pair of matching quotes, text read up to 2047 characters, integers decimal
// or hexadecimal ("0x" / "$"), a missing or bad value giving the default. Lines end at CR LF, LF or a lone
// CR; a leading UTF-8 byte-order mark is skipped. A file that starts with the UTF-16LE byte-order mark is
// UTF-16 text, read and written in the code page as Windows does. A write changes one line in place (or
// adds the key, and its section, at the end of the section / file) and keeps every other byte, the mark
// and the file's encoding included; a missing file is created. Every call reads the file afresh: nothing is
// cached.
class TIniFile {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return m_fileName; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
    // Read as an integer, non-zero is true.
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Raise Exception "Unable to write to %s" (the file path) when the file cannot be written; the file
    // then keeps what it held before the call.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    // Written as "0" or "1".
    void WriteBool(std::string_view section, std::string_view key, bool value);

private:
    std::string m_fileName;
};
