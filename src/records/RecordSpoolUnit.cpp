#include "records/RecordSpoolUnit.h"

#include "platform/FileUnit.h"
#include "records/RecordStoreSessionUnit.h"

#include <soci/soci.h>

#include <charconv>
#include <stdexcept>

namespace {

const char* const CreateSpoolSql =
    "CREATE TABLE IF NOT EXISTS T_HeldIssueCardRecord(Id INTEGER PRIMARY KEY AUTOINCREMENT, Row TEXT)";

// Rows are kept as hexadecimal text: any byte of a field survives the text column.
std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Empty text for anything that is not hexadecimal text of whole bytes (a row nobody could have written).
std::string FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0)
        return {};
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0)
            return {};
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

} // namespace

std::string JoinSpoolFields(const std::vector<std::string>& fields) {
    std::string text;
    for (const std::string& field : fields)
        text += std::to_string(field.size()) + ':' + field;
    return text;
}

bool SplitSpoolFields(const std::string& text, std::vector<std::string>& fields) {
    fields.clear();
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    while (at != end) {
        std::size_t length = 0;
        const auto [colon, error] = std::from_chars(at, end, length);
        if (error != std::errc() || colon == at || colon == end || *colon != ':' ||
            length > static_cast<std::size_t>(end - colon - 1))
            return false;
        fields.emplace_back(colon + 1, length);
        at = colon + 1 + length;
    }
    return true;
}

TRecordSpool::TRecordSpool(std::string path) : m_path(std::move(path)) {}

TRecordSpool::~TRecordSpool() = default;

bool TRecordSpool::EnsureOpenLocked() {
    if (m_session)
        return true;
    try {
        // WAL with a sync at every commit, as Client.db: a row is on disk when Add returns.
        auto session = OpenRecordStoreSession("sqlite3", m_path);
        *session << CreateSpoolSql;
        long long count = 0;
        *session << "select count(*) from T_HeldIssueCardRecord", soci::into(count);
        m_count = static_cast<std::size_t>(count);
        m_session = std::move(session);
        return true;
    } catch (const std::exception& e) {
        m_lastError = e.what();
        return false;
    }
}

void TRecordSpool::FailLocked(const std::exception& error) {
    m_lastError = error.what();
    // Opened afresh by the next use: the file may have been replaced or repaired meanwhile.
    m_session.reset();
}

bool TRecordSpool::Add(const std::string& row) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!EnsureOpenLocked())
        return false;
    if (m_count >= MaxRows) {
        m_lastError = "the spool holds " + std::to_string(MaxRows) + " rows";
        return false;
    }
    try {
        const std::string hex = ToHex(row);
        *m_session << "insert into T_HeldIssueCardRecord(Row) values(:Row)", soci::use(hex, "Row");
        ++m_count;
        return true;
    } catch (const std::exception& e) {
        FailLocked(e);
        return false;
    }
}

std::vector<std::pair<long long, std::string>> TRecordSpool::Oldest(std::size_t count) {
    std::vector<std::pair<long long, std::string>> rows;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!EnsureOpenLocked())
        return rows;
    try {
        long long id = 0;
        const long long limit = static_cast<long long>(count);
        std::string hex;
        soci::indicator hexIndicator = soci::i_ok;
        soci::statement query =
            (m_session->prepare << "select Id, Row from T_HeldIssueCardRecord order by Id "
                                   "limit :Count",
             soci::into(id), soci::into(hex, hexIndicator), soci::use(limit, "Count"));
        query.execute();
        while (query.fetch())
            rows.emplace_back(id, hexIndicator == soci::i_ok ? FromHex(hex) : std::string());
    } catch (const std::exception& e) {
        FailLocked(e);
        rows.clear();
    }
    return rows;
}

bool TRecordSpool::RemoveUpTo(long long id) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!EnsureOpenLocked())
        return false;
    try {
        *m_session << "delete from T_HeldIssueCardRecord where Id <= :Id", soci::use(id, "Id");
        long long count = 0;
        *m_session << "select count(*) from T_HeldIssueCardRecord", soci::into(count);
        m_count = static_cast<std::size_t>(count);
        return true;
    } catch (const std::exception& e) {
        FailLocked(e);
        return false;
    }
}

std::size_t TRecordSpool::Count() {
    std::lock_guard<std::mutex> guard(m_lock);
    // A store that never needed the spool makes no file.
    if (!m_session && !FileIdentityOf(m_path))
        return 0;
    return EnsureOpenLocked() ? m_count : 0;
}

std::string TRecordSpool::LastError() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lastError;
}
