#include "support/RecordTestSupport.h"

#include "support/RecordStoreFixture.h"

#include <cmath>
#include <ctime>
#include <stdexcept>

int RowCount(soci::session& raw, const std::string& table) {
    int count = 0;
    raw << "select count(*) from " + table, soci::into(count);
    return count;
}

bool SameMinute(TDateTime a, TDateTime b) {
    return std::fabs(a - b) < 2.0 / 1440;
}

std::string CellText(const soci::row& row, std::size_t column, const std::string& null) {
    if (row.get_indicator(column) == soci::i_null)
        return null;
    switch (row.get_properties(column).get_data_type()) {
    case soci::dt_integer:
        return std::to_string(row.get<int>(column));
    case soci::dt_long_long:
        return std::to_string(row.get<long long>(column));
    case soci::dt_date: {
        const std::tm tm = row.get<std::tm>(column);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        return text;
    }
    default:
        return row.get<std::string>(column);
    }
}

std::string CellText(const soci::row& row, const std::string& column, const std::string& null) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row.get_properties(i).get_name() == column)
            return CellText(row, i, null);
    }
    throw std::invalid_argument("no column " + column);
}

std::string StoreKindName(const ::testing::TestParamInfo<TStoreKind>& info) {
    return info.param == TStoreKind::Postgres ? "PostgreSQL" : "SQLite";
}
