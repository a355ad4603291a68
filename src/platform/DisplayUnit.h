#pragma once

#include <string>

// Empty when a window can open; otherwise why not, for the message that suggests a run without a window.
std::string NoDisplayReason();

// True when the program runs under Wine rather than on Windows itself.
bool RunningUnderWine();

// The Qt platform, with its options, that the window is to use here; empty for Qt's own choice. Under Wine
// the windows platform's default (GDI) font engine draws no text inside line edits and date-time fields,
// while labels, buttons and tables show theirs; its DirectWrite engine draws them all.
std::string QtPlatformChoice();
