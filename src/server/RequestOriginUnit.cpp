#include "server/RequestOriginUnit.h"

std::string TRequestOrigin::Text() const {
    std::string text = Address + ":" + std::to_string(Port);
    if (!Subject.empty())
        text += " [" + Subject + "]";
    return text;
}
