#pragma once

#include <string>

// Empty when a window can open; otherwise why not, for the message that suggests a run without a window.
std::string NoDisplayReason();
