#pragma once

#include "platform/DateTimeUnit.h"

#include <soci/soci-backend.h>

#include <string>

// The store's date-time columns hold text "yyyy-mm-dd hh:mm:ss", in whole seconds: the same value must
// round the same way every time. They are read back with TryIsoStrToDateTime: PostgreSQL gives its ISO
// text of a TIMESTAMP, and rows another program wrote may carry a "T" or a fraction.
std::string DateTimeToDbText(TDateTime value);
// A value for a bound parameter: 0 means no time recorded and is stored as NULL.
void BindDateTime(TDateTime value, std::string& text, soci::indicator& indicator);
