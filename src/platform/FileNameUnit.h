#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// File names inside the program are text like any other: code page bytes on Windows (where the files are
// reached through the wide-character calls, whatever the system's ANSI code page), the file system's own
// bytes elsewhere.

// The name as the file system takes it.
std::filesystem::path FileSystemPath(std::string_view name);
// A file system path as a file name of the program.
std::string FileNameOf(const std::filesystem::path& path);
// A file name written as text of the code page (a setting of Option.ini) as a file name of the program: the
// same bytes on Windows, UTF-8 elsewhere, where that is what the file system's names are.
std::string FileNameOfText(std::string_view text);
// A file name given as UTF-8 (an argument of ProgramArgumentsUtf8) as a file name of the program.
std::string FileNameOfUtf8(std::string_view utf8);
// The name as UTF-8, for SQLite (which opens files by UTF-8 names on Windows).
std::string FileNameToUtf8(std::string_view name);

// dir/name (dir\name on Windows).
std::string JoinFileName(std::string_view dir, std::string_view name);

// fopen by a file name of the program.
std::FILE* FileOpen(std::string_view name, const char* mode);

// Moves source over target (replacing it) in one step; false when that failed.
bool MoveFileOver(std::string_view source, std::string_view target);

// The directory of the running program's executable; argv0 is the fallback where the system cannot say.
std::string ExecutableDirectory(const char* argv0);

// The program's arguments as text of the program: on Windows read from the wide command line, since argv
// holds them in the system's ANSI code page, which need not be 936.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// The same as UTF-8 (the bytes as given elsewhere), for a program that works in UTF-8 whatever the code page.
std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv);

// Standard output passes bytes as they are: CR LF line ends written by the program stay CR LF on Windows.
void SetStandardOutputBinary();
