#include "platform/DisplayUnit.h"

// Every desktop session there has its display.
std::string NoDisplayReason() {
    return {};
}
