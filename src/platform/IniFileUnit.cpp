#include "platform/IniFileUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "platform/SysUtilsUnit.h"

#include <cstdio>
#include <mutex>
#include <type_traits>
#include <vector>

namespace {

constexpr size_t kMaxValueLength = 2047;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";

// Editors on Windows offer to save with a UTF-8 byte-order mark; it is no part of the first line.
size_t TextStart(const std::string& data) {
    return data.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0 ? kByteOrderMark.size() : 0;
}

// The file as Windows' profile functions see it: code page bytes (after an optional UTF-8 mark) or, after a
// UTF-16LE mark (Notepad saves one as "Unicode"), UTF-16 code units, which the calls convert to and from
// the code page. Lines, sections and keys are found the same way in both.
struct TProfileText {
    bool Wide = false;
    std::string Bytes;    // not wide: the whole file
    std::u16string Units; // wide: the units after the mark
    std::string OddByte;  // wide: a last byte that makes no unit, kept as it is
};

TProfileText DecodeProfile(std::string data) {
    TProfileText text;
    if (data.compare(0, kUtf16Mark.size(), kUtf16Mark) != 0) {
        text.Bytes = std::move(data);
        return text;
    }
    text.Wide = true;
    const size_t units = (data.size() - kUtf16Mark.size()) / 2;
    text.Units.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const size_t at = kUtf16Mark.size() + 2 * i;
        text.Units.push_back(static_cast<char16_t>(static_cast<unsigned char>(data[at]) |
                                                   static_cast<unsigned char>(data[at + 1]) << 8));
    }
    text.OddByte = data.substr(kUtf16Mark.size() + 2 * units);
    return text;
}

std::string EncodeProfile(const TProfileText& text) {
    if (!text.Wide)
        return text.Bytes;
    std::string data(kUtf16Mark);
    data.reserve(data.size() + 2 * text.Units.size() + text.OddByte.size());
    for (const char16_t unit : text.Units) {
        data.push_back(static_cast<char>(unit & 0xFF));
        data.push_back(static_cast<char>(unit >> 8));
    }
    return data + text.OddByte;
}

template <typename Ch> bool IsBlankUnit(Ch c) {
    return c == Ch(' ') || c == Ch('\t');
}

template <typename Ch> std::basic_string_view<Ch> TrimLine(std::basic_string_view<Ch> text) {
    while (!text.empty() && IsBlankUnit(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlankUnit(text.back()))
        text.remove_suffix(1);
    return text;
}

// As Trim: every unit up to 0x20 goes, at both ends.
template <typename Ch> std::basic_string_view<Ch> TrimControls(std::basic_string_view<Ch> text) {
    const auto isControl = [](Ch c) { return static_cast<std::make_unsigned_t<Ch>>(c) <= 0x20; };
    while (!text.empty() && isControl(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isControl(text.back()))
        text.remove_suffix(1);
    return text;
}

// Names of the file compared with names of the code page.
bool SameName(std::string_view name, std::string_view wanted) {
    return SameText(name, wanted);
}

bool SameName(std::u16string_view name, std::string_view wanted) {
    return SameText(Utf16ToGbk(name), wanted);
}

std::string ToCodePage(std::string_view text) {
    return std::string(text);
}

std::string ToCodePage(std::u16string_view text) {
    return Utf16ToGbk(text);
}

template <typename Ch> std::basic_string<Ch> FromCodePage(std::string_view text);

template <> std::string FromCodePage<char>(std::string_view text) {
    return std::string(text);
}

template <> std::u16string FromCodePage<char16_t>(std::string_view text) {
    return GbkToUtf16(text);
}

// One line of the file: its text runs from Begin to End, its own line ending (CR LF, LF, a lone CR or none
// at the end of the file) from End to Next.
struct TLine {
    size_t Begin;
    size_t End;
    size_t Next;
};

template <typename Ch> std::vector<TLine> SplitLines(std::basic_string_view<Ch> data, size_t begin) {
    std::vector<TLine> lines;
    while (begin < data.size()) {
        size_t end = begin;
        while (end < data.size() && data[end] != Ch('\r') && data[end] != Ch('\n'))
            ++end;
        if (end == data.size()) {
            lines.push_back({begin, data.size(), data.size()});
            break;
        }
        const bool crLf = data[end] == Ch('\r') && end + 1 < data.size() && data[end + 1] == Ch('\n');
        const size_t next = end + (crLf ? 2 : 1);
        lines.push_back({begin, end, next});
        begin = next;
    }
    return lines;
}

template <typename Ch> bool SectionHeader(std::basic_string_view<Ch> text, std::basic_string_view<Ch>& name) {
    text = TrimLine(text);
    if (text.empty() || text.front() != Ch('['))
        return false;
    const size_t close = text.find(Ch(']'));
    if (close == std::basic_string_view<Ch>::npos)
        return false;
    name = TrimLine(text.substr(1, close - 1));
    return true;
}

// A "key=value" line; valueStart is the offset of the value within the line, blanks after "=" skipped.
template <typename Ch>
bool KeyLine(std::basic_string_view<Ch> text, std::basic_string_view<Ch>& key, size_t& valueStart) {
    const std::basic_string_view<Ch> trimmed = TrimLine(text);
    if (trimmed.empty() || trimmed.front() == Ch(';') || trimmed.front() == Ch('['))
        return false;
    const size_t equals = text.find(Ch('='));
    if (equals == std::basic_string_view<Ch>::npos)
        return false;
    key = TrimLine(text.substr(0, equals));
    valueStart = equals + 1;
    while (valueStart < text.size() && IsBlankUnit(text[valueStart]))
        ++valueStart;
    return true;
}

struct TLookup {
    bool SectionFound = false;
    size_t LastNonBlank = 0; // line index; the header itself when the section is empty
    bool KeyFound = false;
    size_t KeyLine = 0;
    size_t ValueStart = 0; // offset in the file's text
};

// The first section of that name, and the first key of that name in it.
template <typename Ch>
TLookup Find(std::basic_string_view<Ch> data, const std::vector<TLine>& lines, std::string_view section,
             std::string_view key) {
    TLookup found;
    const std::string_view wantedSection = TrimLine(section);
    const std::string_view wantedKey = TrimLine(key);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::basic_string_view<Ch> text = data.substr(lines[i].Begin, lines[i].End - lines[i].Begin);
        std::basic_string_view<Ch> name;
        if (SectionHeader(text, name)) {
            if (found.SectionFound)
                break;
            if (SameName(name, wantedSection)) {
                found.SectionFound = true;
                found.LastNonBlank = i;
            }
            continue;
        }
        if (!found.SectionFound)
            continue;
        if (!TrimLine(text).empty())
            found.LastNonBlank = i;
        size_t valueStart = 0;
        if (!found.KeyFound && KeyLine(text, name, valueStart) && SameName(name, wantedKey)) {
            found.KeyFound = true;
            found.KeyLine = i;
            found.ValueStart = lines[i].Begin + valueStart;
        }
    }
    return found;
}

// The value trimmed and in the code page; false when the key is not there.
template <typename Ch>
bool FindValue(std::basic_string_view<Ch> data, size_t start, std::string_view section, std::string_view key,
               std::string& value) {
    const std::vector<TLine> lines = SplitLines(data, start);
    const TLookup found = Find(data, lines, section, key);
    if (!found.KeyFound)
        return false;
    value =
        ToCodePage(TrimControls(data.substr(found.ValueStart, lines[found.KeyLine].End - found.ValueStart)));
    return true;
}

// Sets the key in the text: in place, added to its section, or in a new section at the end. The names and
// the value are code page text, already one line each.
template <typename Ch>
void SetValue(std::basic_string<Ch>& data, size_t start, std::string_view section, std::string_view key,
              std::string_view value) {
    const std::basic_string_view<Ch> view(data);
    // Added lines end as the file's lines do; CR LF in a mixed or empty file.
    const bool noCrLf = view.find(std::basic_string_view<Ch>(FromCodePage<Ch>("\r\n"))) == view.npos;
    const bool hasCr = view.find(Ch('\r')) != view.npos;
    const bool hasLf = view.find(Ch('\n')) != view.npos;
    const std::basic_string<Ch> newline = FromCodePage<Ch>(noCrLf && hasLf && !hasCr   ? "\n"
                                                           : noCrLf && hasCr && !hasLf ? "\r"
                                                                                       : "\r\n");
    const std::basic_string<Ch> keyName = FromCodePage<Ch>(key);
    const std::basic_string<Ch> text = FromCodePage<Ch>(value);
    const std::basic_string<Ch> equals = FromCodePage<Ch>("=");

    const std::vector<TLine> lines = SplitLines(view, start);
    const TLookup found = Find(view, lines, section, key);
    if (found.KeyFound) {
        const TLine& line = lines[found.KeyLine];
        data.replace(found.ValueStart, line.End - found.ValueStart, text);
    } else if (found.SectionFound) {
        const TLine& last = lines[found.LastNonBlank];
        std::basic_string<Ch> insert;
        if (last.Next == last.End)
            insert = newline; // the section's last line ends the file without a line break
        insert += keyName + equals + text + newline;
        data.insert(last.Next, insert);
    } else {
        if (data.size() > start && data.back() != Ch('\n') && data.back() != Ch('\r'))
            data += newline;
        data += FromCodePage<Ch>("[") + FromCodePage<Ch>(section) + FromCodePage<Ch>("]") + newline +
                keyName + equals + text + newline;
    }
}

enum class TReadResult { Ok, Missing, Failed };

// More than any profile holds; every call reads the whole file afresh.
constexpr size_t kMaxProfileSize = 16 * 1024 * 1024;

// The file as a regular file only: a link or a FIFO put in its place is a failure, never followed or waited
// on.
TReadResult ReadWholeFile(const std::string& path, std::string& data) {
    data.clear();
    try {
        data = ReadRegularFile(path, kMaxProfileSize);
        return TReadResult::Ok;
    } catch (const Exception&) {
        // Gone (a dangling link is there, and refused).
        return RegularFileRefusal(path).empty() && !FileIdentityOf(path) ? TReadResult::Missing
                                                                         : TReadResult::Failed;
    }
}

// GBK text cut to at most max bytes without splitting a double-byte character.
std::string CutText(std::string_view text, size_t max) {
    if (text.size() <= max)
        return std::string(text);
    size_t pos = 0;
    while (pos < max) {
        const auto c = static_cast<unsigned char>(text[pos]);
        const size_t width = IsGbkLeadByte(c) ? 2 : 1;
        if (pos + width > max)
            break;
        pos += width;
    }
    return std::string(text.substr(0, pos));
}

// A line break inside a written name or value would turn the rest into lines of their own.
std::string OneLine(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return result;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
    std::string data;
    if (ReadWholeFile(m_fileName, data) != TReadResult::Ok)
        return std::string(defaultValue);
    const TProfileText text = DecodeProfile(std::move(data));
    std::string value;
    const bool found =
        text.Wide ? FindValue(std::u16string_view(text.Units), 0, section, key, value)
                  : FindValue(std::string_view(text.Bytes), TextStart(text.Bytes), section, key, value);
    if (!found)
        return std::string(defaultValue);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return CutText(value, kMaxValueLength);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const {
    int32_t value = 0;
    return TryStrToInt(Trim(ReadString(section, key, "")), value, false) ? value : defaultValue;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    // A link in the file's place is refused (below), neither written through nor replaced: whoever may write
    // the directory could point it at any file the host may write.
    const std::string& target = m_fileName;
    const auto fail = [this] { return Exception(FormatText("Unable to write to %s", {m_fileName})); };
    // Read, change and replace as one step, so two writers in this process cannot lose each other's key.
    static std::mutex writeLock;
    std::lock_guard<std::mutex> guard(writeLock);

    std::string data;
    // A file that exists but cannot be read must not be replaced by one holding only this key.
    if (ReadWholeFile(target, data) == TReadResult::Failed)
        throw fail();
    TProfileText text = DecodeProfile(std::move(data));
    if (text.Wide)
        SetValue(text.Units, 0, OneLine(section), OneLine(key), OneLine(value));
    else
        SetValue(text.Bytes, TextStart(text.Bytes), OneLine(section), OneLine(key), OneLine(value));
    data = EncodeProfile(text);
    if (!ReplaceWholeFile(target, data))
        throw fail();
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}
