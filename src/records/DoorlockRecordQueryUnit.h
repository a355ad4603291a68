#pragma once

#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace soci {
class session;
}

// Which issued-card rows to read. Text in the code page.
struct TIssueCardRecordFilter {
    // The room as the operator types it (see RoomMatchOf); empty: every room.
    std::string Room;
    // Operation times from..to, both included, to the second; 0: open on that side.
    TDateTime From = 0;
    TDateTime To = 0;
};

// How a filter's room text selects rows. Four characters are a room number: the rows whose key ends with it,
// in every building and on every floor (a key of just those four included). Any other text is a whole key:
// building + floor + room number, as the rows hold it.
enum class TRoomMatch { EveryRoom, WholeKey, RoomNumber };
TRoomMatch RoomMatchOf(const std::string& room);

// One T_IssueCardRecord row as the operator sees it. Text in the code page; times "yyyy-mm-dd hh:nn:ss",
// empty where none was recorded.
struct TIssueCardRecordRow {
    std::string OpratingTime;
    std::string RoomNo;
    std::string CardNo;
    bool IsCopy = false;
    std::string LastCheckInTime; // the card's start
    std::string CheckInTime;     // the start the caller asked for
    std::string CheckOutTime;
    std::string GuestName;
    std::string RegisterId;
    // Who asked for the card; empty for rows stored before it was recorded.
    std::string Source;
};

// The first rows of a filter and how many match in all, read from one snapshot.
struct TIssueCardRecordPage {
    int64_t Total = 0;
    std::vector<TIssueCardRecordRow> Rows;
};

// Reads the issued-card rows of a record store, newest first, for the operator and for audits. It has a
// read-only session of its own, so it may run beside a host that writes: on SQLite a WAL reader, on
// PostgreSQL read-only transactions. It never creates or changes anything; the store creates the tables
// and the indexes these reads use. Raises std::runtime_error (text in the code page) when the store cannot
// be opened or read.
class TDoorlockRecordQuery {
public:
    explicit TDoorlockRecordQuery(const TRecordStoreTarget& target);
    ~TDoorlockRecordQuery();
    TDoorlockRecordQuery(const TDoorlockRecordQuery&) = delete;
    TDoorlockRecordQuery& operator=(const TDoorlockRecordQuery&) = delete;

    TIssueCardRecordPage FirstRows(const TIssueCardRecordFilter& filter, int64_t limit);
    // Every matching row, newest first, handed to visit one at a time (an export of any size).
    void ForEach(const TIssueCardRecordFilter& filter,
                 const std::function<void(const TIssueCardRecordRow&)>& visit);

private:
    int64_t CountLocked(const TIssueCardRecordFilter& filter);
    void ReadLocked(const TIssueCardRecordFilter& filter, int64_t limit,
                    const std::function<void(const TIssueCardRecordRow&)>& visit);
    template <typename TStep> void InTransaction(TStep step);

    // The columns to read; a table of an earlier version, not yet opened by a store, has no source.
    std::string ColumnsLocked();

    bool m_sqlite;
    std::unique_ptr<soci::session> m_session;
    std::optional<bool> m_hasSource;
};

// The filter's time text in the form the store keeps ("yyyy-mm-dd hh:nn:ss"), for the bounds of a query.
std::string RecordTimeText(TDateTime value);

// A CSV file of rows for a spreadsheet: UTF-8 with a byte-order mark (so that the spreadsheet does not take
// it for the ANSI code page), CR LF line ends, a header line, fields quoted where they need it. A field that
// a spreadsheet would take for a formula (opening with "=", "+", "-", "@" or a control character such as TAB
// or CR) gets a "'" in front; the rest of every field is as stored.
std::string RecordsCsvHeader();
std::string RecordCsvLine(const TIssueCardRecordRow& row);

// A stored text as a terminal or a list may show it: every control character (bytes 0-31 and 127) as
// "\xNN" and a backslash as "\\", so that what a guest name holds is seen and nothing in it acts (an escape
// sequence, a line break that makes one row look like two). Code page text in and out.
std::string VisibleText(const std::string& gbk);

// "新卡" / "复制卡"
std::string CardKindText(bool isCopy);

// "成功" when the row holds the number of the card written, "失败" when it holds none: a failed issue is
// recorded with card number 0.
std::string IssueResultText(const TIssueCardRecordRow& row);
