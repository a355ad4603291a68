#include "records/RecordStoreBudgetUnit.h"

#include <cstdio>

std::string SecondsText(std::chrono::milliseconds wait) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000);
    return seconds;
}
