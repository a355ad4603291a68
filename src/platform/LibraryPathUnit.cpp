#include "platform/LibraryPathUnit.h"

#include <algorithm>
#include <vector>

namespace {

// A root ("C:" or "\\server\share") and the names below it, "." and ".." resolved.
struct TWindowsPath {
    std::u16string Root;
    std::vector<std::u16string> Names;
};

bool IsLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

char16_t Folded(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Folded(a[i]) != Folded(b[i]))
            return false;
    return true;
}

// A name Windows opens as written: no characters it refuses or reads as a stream or wildcard, and no trailing
// dot or space, which it drops (so that "x.dll." would open x.dll, and ".. " the parent).
bool PlainName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos)
            return false;
    return !name.empty() && name.back() != u'.' && name.back() != u' ';
}

std::vector<std::u16string_view> Split(std::u16string_view text) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'\\') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

// Appends names to path, resolving "." and ".."; false when a name is not plain or ".." climbs above the
// root.
bool AddNames(TWindowsPath& path, std::u16string_view text) {
    for (std::u16string_view name : Split(text)) {
        if (name.empty() || name == u".")
            continue;
        if (name == u"..") {
            if (path.Names.empty())
                return false;
            path.Names.pop_back();
            continue;
        }
        if (!PlainName(name))
            return false;
        path.Names.emplace_back(name);
    }
    return true;
}

std::u16string Backslashed(std::u16string_view text) {
    std::u16string result(text);
    for (char16_t& c : result)
        if (c == u'/')
            c = u'\\';
    return result;
}

// An absolute path: "C:\..." or "\\server\share\...".
std::optional<TWindowsPath> ParseAbsolute(std::u16string_view text) {
    TWindowsPath path;
    if (text.size() >= 3 && IsLetter(text[0]) && text[1] == u':' && text[2] == u'\\') {
        path.Root = text.substr(0, 2);
        text.remove_prefix(3);
    } else if (text.substr(0, 2) == u"\\\\") {
        const std::vector<std::u16string_view> parts = Split(text.substr(2));
        // A device or verbatim path (\\.\, \\?\) names no share.
        if (parts.size() < 2 || !PlainName(parts[0]) || !PlainName(parts[1]))
            return std::nullopt;
        path.Root = u"\\\\" + std::u16string(parts[0]) + u"\\" + std::u16string(parts[1]);
        text.remove_prefix(std::min(text.size(), path.Root.size() + 1));
    } else {
        return std::nullopt;
    }
    if (!AddNames(path, text))
        return std::nullopt;
    return path;
}

bool LiesIn(const TWindowsPath& path, const TWindowsPath& folder) {
    if (!SameName(path.Root, folder.Root) || path.Names.size() <= folder.Names.size())
        return false;
    for (size_t i = 0; i < folder.Names.size(); ++i)
        if (!SameName(path.Names[i], folder.Names[i]))
            return false;
    return true;
}

std::u16string Joined(const TWindowsPath& path) {
    std::u16string text = path.Root;
    for (const std::u16string& name : path.Names)
        text += u"\\" + name;
    return text;
}

std::u16string WithoutVerbatimPrefix(std::u16string text) {
    if (text.substr(0, 8) == u"\\\\?\\UNC\\")
        return u"\\\\" + text.substr(8);
    if (text.substr(0, 4) == u"\\\\?\\")
        return text.substr(4);
    return text;
}

} // namespace

std::optional<std::u16string> WindowsLibraryPathInFolder(std::u16string_view setting,
                                                         std::u16string_view folder) {
    const std::optional<TWindowsPath> base = ParseAbsolute(Backslashed(folder));
    const std::u16string text = Backslashed(setting);
    if (!base || text.empty())
        return std::nullopt;
    std::optional<TWindowsPath> path;
    if (text.substr(0, 2) == u"\\\\") {
        // A share, or a device or verbatim path: never.
        return std::nullopt;
    } else if (text.size() >= 2 && IsLetter(text[0]) && text[1] == u':') {
        // "C:x.dll" is relative to drive C's current directory, which the process does not control.
        path = ParseAbsolute(text);
    } else {
        path = *base;
        if (text[0] == u'\\')
            path->Names.clear();
        if (!AddNames(*path, text))
            return std::nullopt;
    }
    if (!path || !LiesIn(*path, *base))
        return std::nullopt;
    return Joined(*path);
}

bool WindowsPathLiesIn(std::u16string_view path, std::u16string_view folder) {
    const std::optional<TWindowsPath> inner = ParseAbsolute(WithoutVerbatimPrefix(Backslashed(path)));
    const std::optional<TWindowsPath> outer = ParseAbsolute(WithoutVerbatimPrefix(Backslashed(folder)));
    return inner && outer && LiesIn(*inner, *outer);
}
