#include "records/DoorlockRecordQueryUnit.h"

#include "platform/CodePageUnit.h"
#include "records/RecordBackendsUnit.h"
#include "records/RecordStoreSessionUnit.h"
#include "records/RecordStoreTargetUnit.h"

#include <soci/soci.h>

#include <cstdio>
#include <limits>
#include <stdexcept>

namespace {

// Both bounds are always bound, so that every read is a range on the operation time that an index serves;
// an open side takes the widest time there is.
const char* const EarliestTime = "0001-01-01 00:00:00";
const char* const LatestTime = "9999-12-31 23:59:59";

const char* const Columns =
    "select OpratingTime, RoomNo, CardNo, IsCopy, LastCheckInTime, CheckInTime, CheckOutTime, GuestName, "
    "RegisterId, ";
const char* const FromTable = " from T_IssueCardRecord";
const char* const TimeRange = " where OpratingTime >= :FromTime and OpratingTime <= :ToTime";
const char* const WholeKeyMatch = " and RoomNo = :RoomNo";
// The expression of the store's index on the room number, written alike, so that the index serves it.
const char* const RoomNumberMatch = " and substr(RoomNo, length(RoomNo) - 3) = :RoomNo";

const char* RoomCondition(TRoomMatch match) {
    return match == TRoomMatch::WholeKey     ? WholeKeyMatch
           : match == TRoomMatch::RoomNumber ? RoomNumberMatch
                                             : "";
}

// Characters, as the database counts them in a UTF-8 text.
size_t CharacterCount(const std::string& utf8) {
    size_t count = 0;
    for (unsigned char c : utf8)
        count += (c & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

// Newest first. SQLite's rowid settles rows of the same second in the order they were added, from the
// index itself; a PostgreSQL table has no such column, and rows of one second come in any order there.
std::string OrderAndLimit(bool sqlite) {
    return std::string(" order by OpratingTime desc") + (sqlite ? ", rowid desc" : "") + " limit :RowLimit";
}

// The stored time as the operator reads it: SQLite keeps the text the store wrote, PostgreSQL gives its ISO
// text; either may carry a 'T' or a fraction when another program wrote the row.
std::string ShownTime(const std::string& text, soci::indicator indicator) {
    if (indicator == soci::i_null)
        return "";
    std::string shown = text.substr(0, text.find('.'));
    if (shown.size() > 10 && shown[10] == 'T')
        shown[10] = ' ';
    return shown;
}

std::string Text(const std::string& utf8, soci::indicator indicator) {
    return indicator == soci::i_null ? std::string() : Utf8ToGbk(utf8);
}

std::runtime_error ReadError(const std::exception& e) {
    // SOCI and the database engines report in ASCII or UTF-8.
    return std::runtime_error(Utf8ToGbk(e.what()));
}

// A spreadsheet runs a cell that opens with one of these as a formula, and some skip a control character in
// front of one; guest names come from outside.
bool LooksLikeFormula(const std::string& field) {
    if (field.empty())
        return false;
    const unsigned char first = static_cast<unsigned char>(field[0]);
    return first == '=' || first == '+' || first == '-' || first == '@' || first < 0x20 || first == 0x7F;
}

std::string CsvField(const std::string& gbk) {
    std::string utf8 = GbkToUtf8(gbk);
    if (LooksLikeFormula(utf8))
        utf8.insert(0, 1, '\'');
    if (utf8.find_first_of(",\"\r\n") == std::string::npos)
        return utf8;
    std::string quoted = "\"";
    for (char c : utf8) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

TRoomMatch RoomMatchOf(const std::string& room) {
    if (room.empty())
        return TRoomMatch::EveryRoom;
    // A room number is four hexadecimal digits, and a key holds a building and a floor code before it.
    return CharacterCount(GbkToUtf8(room)) == 4 ? TRoomMatch::RoomNumber : TRoomMatch::WholeKey;
}

std::string RecordTimeText(TDateTime value) {
    // The operator names whole seconds; the stored times have no fraction.
    const TDateTimeParts parts = DecodeDateTime(value);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.Year, parts.Month, parts.Day,
                  parts.Hour, parts.Minute, parts.Second);
    return text;
}

TDoorlockRecordQuery::TDoorlockRecordQuery(const TRecordStoreTarget& target)
    : m_sqlite(target.Backend == "sqlite3") {
    RegisterLinkedBackends();
    const std::string sqliteConnect = m_sqlite ? SqliteConnectString(target.ConnectString, true) : "";
    try {
        if (m_sqlite) {
            m_session = std::make_unique<soci::session>(target.Backend, sqliteConnect);
            // Belt and braces beside the read-only open: no statement of this session may write.
            *m_session << "PRAGMA query_only=1";
        } else {
            m_session = std::make_unique<soci::session>(
                target.Backend, ParsePostgresConninfo(target.ConnectString).KeywordForm);
            *m_session << "SET datestyle TO ISO, YMD";
            *m_session << "SET client_encoding TO 'UTF8'";
            // The count and the rows of one read come from the same snapshot.
            *m_session
                << "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY";
        }
    } catch (const std::exception& e) {
        // SQLite's "unable to open database file" does not say which.
        throw std::runtime_error((m_sqlite ? target.ConnectString + ": " : std::string()) +
                                 ReadError(e).what());
    }
}

TDoorlockRecordQuery::~TDoorlockRecordQuery() = default;

template <typename TStep> void TDoorlockRecordQuery::InTransaction(TStep step) {
    try {
        // On SQLite one read transaction is one WAL snapshot; it ends with the read, so that the writer's
        // checkpoints are not held back longer than that.
        m_session->begin();
        try {
            step();
        } catch (...) {
            try {
                m_session->rollback();
            } catch (const soci::soci_error&) {
                // A connection that has gone has ended the transaction with it.
            }
            throw;
        }
        m_session->commit();
    } catch (const soci::soci_error& e) {
        // Only the database's own errors are converted; the caller's (an export's write) pass as they are.
        throw ReadError(e);
    }
}

TIssueCardRecordPage TDoorlockRecordQuery::FirstRows(const TIssueCardRecordFilter& filter, int64_t limit) {
    TIssueCardRecordPage page;
    InTransaction([&] {
        page.Total = CountLocked(filter);
        ReadLocked(filter, limit, [&](const TIssueCardRecordRow& row) { page.Rows.push_back(row); });
    });
    return page;
}

void TDoorlockRecordQuery::ForEach(const TIssueCardRecordFilter& filter,
                                   const std::function<void(const TIssueCardRecordRow&)>& visit) {
    InTransaction([&] { ReadLocked(filter, std::numeric_limits<int64_t>::max(), visit); });
}

int64_t TDoorlockRecordQuery::CountLocked(const TIssueCardRecordFilter& filter) {
    std::string from = filter.From != 0 ? RecordTimeText(filter.From) : EarliestTime;
    std::string to = filter.To != 0 ? RecordTimeText(filter.To) : LatestTime;
    std::string room = GbkToUtf8(filter.Room);
    const TRoomMatch match = RoomMatchOf(filter.Room);
    long long count = 0;
    std::string sql =
        std::string("select count(*) from T_IssueCardRecord") + TimeRange + RoomCondition(match);
    if (match == TRoomMatch::EveryRoom) {
        *m_session << sql, soci::into(count), soci::use(from, "FromTime"), soci::use(to, "ToTime");
    } else {
        *m_session << sql, soci::into(count), soci::use(from, "FromTime"), soci::use(to, "ToTime"),
            soci::use(room, "RoomNo");
    }
    return count;
}

void TDoorlockRecordQuery::ReadLocked(const TIssueCardRecordFilter& filter, int64_t limit,
                                      const std::function<void(const TIssueCardRecordRow&)>& visit) {
    std::string from = filter.From != 0 ? RecordTimeText(filter.From) : EarliestTime;
    std::string to = filter.To != 0 ? RecordTimeText(filter.To) : LatestTime;
    std::string room = GbkToUtf8(filter.Room);
    const TRoomMatch match = RoomMatchOf(filter.Room);
    long long rowLimit = limit;

    std::string opratingTime, roomNo, cardNo, lastCheckInTime, checkInTime, checkOutTime, guestName,
        registerId, source;
    int isCopy = 0;
    soci::indicator opratingTimeInd = soci::i_ok, roomNoInd = soci::i_ok, cardNoInd = soci::i_ok,
                    isCopyInd = soci::i_ok, lastCheckInTimeInd = soci::i_ok, checkInTimeInd = soci::i_ok,
                    checkOutTimeInd = soci::i_ok, guestNameInd = soci::i_ok, registerIdInd = soci::i_ok,
                    sourceInd = soci::i_ok;
    std::string sql =
        ColumnsLocked() + FromTable + TimeRange + RoomCondition(match) + OrderAndLimit(m_sqlite);
    soci::statement query(*m_session);
    query.exchange(soci::into(opratingTime, opratingTimeInd));
    query.exchange(soci::into(roomNo, roomNoInd));
    query.exchange(soci::into(cardNo, cardNoInd));
    query.exchange(soci::into(isCopy, isCopyInd));
    query.exchange(soci::into(lastCheckInTime, lastCheckInTimeInd));
    query.exchange(soci::into(checkInTime, checkInTimeInd));
    query.exchange(soci::into(checkOutTime, checkOutTimeInd));
    query.exchange(soci::into(guestName, guestNameInd));
    query.exchange(soci::into(registerId, registerIdInd));
    query.exchange(soci::into(source, sourceInd));
    query.exchange(soci::use(from, "FromTime"));
    query.exchange(soci::use(to, "ToTime"));
    if (match != TRoomMatch::EveryRoom)
        query.exchange(soci::use(room, "RoomNo"));
    query.exchange(soci::use(rowLimit, "RowLimit"));
    query.alloc();
    query.prepare(sql);
    query.define_and_bind();
    query.execute();
    while (query.fetch()) {
        TIssueCardRecordRow row;
        row.OpratingTime = ShownTime(opratingTime, opratingTimeInd);
        row.RoomNo = Text(roomNo, roomNoInd);
        row.CardNo = Text(cardNo, cardNoInd);
        row.IsCopy = isCopyInd != soci::i_null && isCopy != 0;
        row.LastCheckInTime = ShownTime(lastCheckInTime, lastCheckInTimeInd);
        row.CheckInTime = ShownTime(checkInTime, checkInTimeInd);
        row.CheckOutTime = ShownTime(checkOutTime, checkOutTimeInd);
        row.GuestName = Text(guestName, guestNameInd);
        row.RegisterId = Text(registerId, registerIdInd);
        row.Source = Text(source, sourceInd);
        visit(row);
    }
}

std::string TDoorlockRecordQuery::ColumnsLocked() {
    // Looked at until found: a store may add the column while the list is open, and it stays.
    if (!m_hasSource.value_or(false))
        m_hasSource = HasColumn(*m_session, m_sqlite, "T_IssueCardRecord", "RequestSource");
    return std::string(Columns) + (*m_hasSource ? "RequestSource" : "NULL");
}

std::string VisibleText(const std::string& gbk) {
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(gbk.size());
    for (size_t i = 0; i < gbk.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(gbk[i]);
        // A double-byte character passes whole: its second byte may be a backslash.
        if (IsGbkLeadByte(c) && i + 1 < gbk.size() &&
            IsGbkTrailByte(static_cast<unsigned char>(gbk[i + 1]))) {
            shown.append(gbk, i, 2);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            shown += "\\x";
            shown += digits[c >> 4];
            shown += digits[c & 0x0F];
        } else if (c == '\\') {
            shown += "\\\\";
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string CardKindText(bool isCopy) {
    return Gbk(isCopy ? "复制卡" : "新卡");
}

std::string IssueResultText(const TIssueCardRecordRow& row) {
    const bool issued = row.CardNo.find_first_not_of('0') != std::string::npos;
    return Gbk(issued ? "成功" : "失败");
}

std::string RecordsCsvHeader() {
    return "\xEF\xBB\xBF"
           "操作时间,房间,卡号,结果,类型,开始时间,离店时间,客人姓名,登记号,来源\r\n";
}

std::string RecordCsvLine(const TIssueCardRecordRow& row) {
    const std::string fields[] = {
        row.OpratingTime,    row.RoomNo,       row.CardNo,    IssueResultText(row), CardKindText(row.IsCopy),
        row.LastCheckInTime, row.CheckOutTime, row.GuestName, row.RegisterId,       row.Source};
    std::string line;
    for (const std::string& field : fields) {
        if (&field != fields)
            line += ',';
        line += CsvField(field);
    }
    return line + "\r\n";
}
