#pragma once

#include <optional>
#include <string>
#include <string_view>

// Windows' path rules, applied as text so that they hold on every system (and can be tested anywhere).

// The full path of the library that setting names, when it lies inside folder (an absolute path, with a drive
// or on a share): a bare file name or a relative path is taken from folder, a path rooted without a drive
// from folder's drive. nullopt for anything else: a path elsewhere, one that climbs out with "..", a share
// (\\server\share), a device or verbatim path (\\.\, \\?\), a drive-relative path (C:x.dll), a stream
// (x.dll:s), wildcards, control characters, or a name that Windows would open under another name (trailing
// dots or spaces).
std::optional<std::u16string> WindowsLibraryPathInFolder(std::u16string_view setting,
                                                         std::u16string_view folder);

// True when path lies inside folder (both absolute; "." and ".." resolved; case ignored); a verbatim prefix
// (\\?\, \\?\UNC\) as the system's final path names carry is taken off first.
bool WindowsPathLiesIn(std::u16string_view path, std::u16string_view folder);
