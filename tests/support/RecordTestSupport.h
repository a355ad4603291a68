#pragma once

#include "platform/DateTimeUnit.h"

#include <soci/soci.h>

#include <cstddef>
#include <string>

// The rows of a table, as another program counts them.
int RowCount(soci::session& raw, const std::string& table);

// Two times read from the clock a moment apart, or one of them moved to the minute: less than two minutes
// between them.
bool SameMinute(TDateTime a, TDateTime b);

// A cell of a row as text: integers in decimal, times as "yyyy-mm-dd hh:mm:ss", null as the text given.
std::string CellText(const soci::row& row, std::size_t column, const std::string& null = "NULL");
// The same by the column's name, as the back end spells it.
std::string CellText(const soci::row& row, const std::string& column, const std::string& null = "NULL");
