#pragma once

#include <cstdio>
#include <string_view>

// Writes UTF-8 text to standard output or standard error so that it reads right where it lands: a Windows
// console gets it as UTF-16 (WriteConsoleW), whatever its code page and the system's ANSI code page; a file,
// a pipe and every stream elsewhere get the UTF-8 bytes unchanged.
void WriteText(std::FILE* stream, std::string_view utf8);
