#include "doorlock/DoorlockRecordStoreUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "server/LogFileUnit.h"

#include <soci/soci.h>
#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
#include <soci/sqlite3/soci-sqlite3.h>
#endif

#ifdef DOORLOCK_WITH_LIBPQ
#include <libpq-fe.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

// How long a statement waits for the write lock of another program on the same SQLite file.
constexpr int BusyTimeoutSeconds = 10;

const char* const CreateRoomTableSql =
    "CREATE TABLE IF NOT EXISTS T_Room(RoomNo TEXT, LastCheckInTime TIMESTAMP)";
const char* const CreateRecordTableSql =
    "CREATE TABLE IF NOT EXISTS T_IssueCardRecord(RegisterId TEXT, CardNo TEXT, RoomNo TEXT, "
    "CardType INTEGER, LastCheckInTime TIMESTAMP, CheckInTime TIMESTAMP, CheckOutTime TIMESTAMP, "
    "IsCopy INTEGER, GuestName TEXT, OpratingTime TIMESTAMP)";
// Every look-up and update finds its rows by room key.
const char* const CreateRoomIndexSql = "CREATE INDEX IF NOT EXISTS IX_Room_RoomNo ON T_Room(RoomNo)";
// The issued-card list reads a room's rows, or every room's, in a range of operation times, newest first.
const char* const CreateRecordIndexSql[] = {
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_RoomNo ON T_IssueCardRecord(RoomNo, OpratingTime)",
    "CREATE INDEX IF NOT EXISTS IX_IssueCardRecord_OpratingTime ON T_IssueCardRecord(OpratingTime)"};

const char* const LookupSql = "select LastCheckInTime from T_Room where RoomNo=:RoomNo";
const char* const UpdateSql = "update T_Room set LastCheckInTime=:LastCheckInTime where RoomNo=:RoomNo";
const char* const InsertRoomSql =
    "insert into T_Room(RoomNo, LastCheckInTime) Values(:RoomNo, :LastCheckInTime)";
const char* const InsertRecordSql =
    "insert into T_IssueCardRecord(RegisterId, CardNo, RoomNo, CardType, LastCheckInTime, CheckInTime, "
    "CheckOutTime, IsCopy, GuestName, OpratingTime)\n"
    " Values(:RegisterId, :CardNo, :RoomNo, :CardType, :LastCheckInTime, :CheckInTime, :CheckOutTime, "
    ":IsCopy, :GuestName, :OpratingTime)";

// How many connections at most hold room locks at one time; the next lock waits for one of them.
constexpr int MaxLockSessions = 8;
// How long a connection attempt may take when the settings name no limit; without one a server that does
// not answer would hold a card issue for minutes.
constexpr const char* DefaultConnectTimeoutSeconds = "5";
// TCP keepalives, each where the settings name none: a server that vanished without a word is noticed in
// about a minute instead of the system's two hours.
constexpr std::pair<const char*, const char*> DefaultKeepalives[] = {
    {"keepalives", "1"}, {"keepalives_idle", "30"}, {"keepalives_interval", "10"}, {"keepalives_count", "3"}};
// Issue rows kept at most while the server is out of reach; one more is logged as not stored.
constexpr size_t MaxHeldRecords = 10000;
// How often held rows are tried again at the least, whatever the back-off.
constexpr auto MinHeldRetryInterval = std::chrono::seconds(1);

bool IsSqlite(const std::string& backend) {
    return backend == "sqlite3";
}

#ifdef DOORLOCK_WITH_LIBPQ
// libpq's rule for a keyword=value value: in single quotes, with backslash and quote escaped.
std::string QuoteConninfoValue(const char* value) {
    std::string quoted = "'";
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '\'')
            quoted += '\\';
        quoted += *c;
    }
    return quoted + "'";
}
#endif

// The advisory lock key of a room: 64-bit FNV-1a of the key's UTF-8 bytes, the same on every host.
long long RoomLockKey(const std::string& utf8RoomKey) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : utf8RoomKey) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return static_cast<long long>(hash);
}

// The key of the advisory lock around schema set-up; room keys hash elsewhere.
const long long SchemaLockKey = RoomLockKey("doorlock-host schema");

std::string SecondsText(std::chrono::milliseconds wait) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000);
    return seconds;
}

std::string IssueRecordText(const std::string& cardNo, const std::string& roomNo) {
    return Gbk("卡号") + cardNo + Gbk(", 房间") + roomNo;
}

std::string LockWaitedText(const std::string& roomKey, std::chrono::milliseconds wait) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000);
    return Gbk("房间(") + roomKey + Gbk(")等待记录锁超过") + seconds + Gbk("秒，未加锁继续");
}

std::string SqliteConnectString(const std::string& path) {
    // SOCI splits its connect string at blanks and takes a double-quoted value whole, with no escape for a
    // quote inside it.
    if (path.find('"') != std::string::npos)
        throw std::runtime_error("The database path contains a double quote: " + path);
    // A value opening with a blank would leave SOCI an empty quoted word.
    // SQLite takes UTF-8 file names.
    const std::string name = FileNameToUtf8(path);
    std::string value = !name.empty() && name.front() == ' ' ? "./" + name : name;
    return "db=\"" + value + "\" timeout=" + std::to_string(BusyTimeoutSeconds);
}

// Whole seconds: the stored text has no fraction, so the same value must round the same way every time.
std::string DateTimeToDbText(TDateTime value) {
    TDateTimeParts parts = DecodeDateTime(value);
    if (parts.Millisecond >= 500) {
        int seconds = parts.Hour * 3600 + parts.Minute * 60 + parts.Second + 1;
        if (seconds == 86400) {
            TDateTime day = 0;
            TryEncodeDateTime(TDateTimeParts{parts.Year, parts.Month, parts.Day}, day);
            // The day number is whole, so the next day is one more even before 1899-12-30.
            parts = DecodeDateTime(day + 1);
            seconds = 0;
        }
        parts.Hour = seconds / 3600;
        parts.Minute = seconds / 60 % 60;
        parts.Second = seconds % 60;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.Year, parts.Month, parts.Day,
                  parts.Hour, parts.Minute, parts.Second);
    return text;
}

bool ReadDigits(std::string_view text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size())
        return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The text SQLite keeps, or PostgreSQL's ISO text of a TIMESTAMP: "yyyy-mm-dd[ hh:mm:ss[.fraction]]".
bool TryDbTextToDateTime(std::string_view text, TDateTime& value) {
    TDateTimeParts parts;
    if (!ReadDigits(text, 0, 4, parts.Year) || text.size() < 10 || text[4] != '-' ||
        !ReadDigits(text, 5, 2, parts.Month) || text[7] != '-' || !ReadDigits(text, 8, 2, parts.Day))
        return false;
    parts.Hour = parts.Minute = parts.Second = parts.Millisecond = 0;
    if (text.size() > 10) {
        if ((text[10] != ' ' && text[10] != 'T') || !ReadDigits(text, 11, 2, parts.Hour) ||
            text.size() < 19 || text[13] != ':' || !ReadDigits(text, 14, 2, parts.Minute) ||
            text[16] != ':' || !ReadDigits(text, 17, 2, parts.Second))
            return false;
        size_t pos = 19;
        if (pos < text.size() && text[pos] == '.') {
            ++pos;
            int scale = 100;
            for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, scale /= 10)
                parts.Millisecond += (text[pos] - '0') * scale;
        }
        if (pos != text.size())
            return false;
    }
    return TryEncodeDateTime(parts, value);
}

// 0 means no time recorded and is stored as NULL.
void BindDateTime(TDateTime value, std::string& text, soci::indicator& indicator) {
    if (value == 0) {
        text.clear();
        indicator = soci::i_null;
    } else {
        text = DateTimeToDbText(value);
        indicator = soci::i_ok;
    }
}

const std::string& NewRoomText() {
    static const std::string text = Gbk("新建房间");
    return text;
}

} // namespace

#ifdef DOORLOCK_SOCI_STATIC_SQLITE3
// This build links the SQLite back end in; SOCI would otherwise look for it as a library file at run time.
void RegisterLinkedBackends() {
    static const bool registered = [] {
        soci::dynamic_backends::register_backend("sqlite3", *soci::factory_sqlite3());
        return true;
    }();
    (void)registered;
}
#else
void RegisterLinkedBackends() {}
#endif

TRecordStoreTarget RecordStoreTarget(const std::string& database, const std::string& programDir) {
    if (database.empty())
        return {"sqlite3", JoinFileName(programDir, "Client.db")};
    return {"postgresql", database};
}

TPostgresConninfo ParsePostgresConninfo(const std::string& conninfo) {
#ifdef DOORLOCK_WITH_LIBPQ
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        std::string message = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        // libpq quotes the part it could not read, which may be a password.
        std::string shown;
        bool quoted = false;
        for (char c : message) {
            if (c == '"') {
                shown += quoted ? "...\"" : "\"";
                quoted = !quoted;
            } else if (!quoted && c != '\n') {
                shown += c;
            }
        }
        throw std::runtime_error("Invalid PostgreSQL connection settings: " + shown);
    }
    TPostgresConninfo result;
    const bool timeoutFromEnvironment = std::getenv("PGCONNECT_TIMEOUT") != nullptr;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        const std::string keyword = option->keyword;
        const char* value = option->val;
        if (value == nullptr && keyword == "connect_timeout" && !timeoutFromEnvironment)
            value = DefaultConnectTimeoutSeconds;
        for (const auto& [name, defaultValue] : DefaultKeepalives) {
            if (value == nullptr && keyword == name)
                value = defaultValue;
        }
        if (value == nullptr)
            continue;
        if (!result.KeywordForm.empty())
            result.KeywordForm += ' ';
        result.KeywordForm += keyword + "=" + QuoteConninfoValue(value);
        if (keyword == "host" || keyword == "hostaddr" || keyword == "port" || keyword == "dbname" ||
            keyword == "user")
            result.Description += " " + keyword + "=" + value;
    }
    PQconninfoFree(options);
    result.Description = "PostgreSQL" + result.Description;
    return result;
#else
    (void)conninfo;
    throw std::runtime_error("This build has no PostgreSQL client library");
#endif
}

// The statements are prepared once per session and run again with new values; the values live here, at
// fixed addresses, because SOCI binds them by reference.
struct TDoorlockRecordStore::TStatements {
    std::string roomNo;
    std::string time;
    soci::indicator timeIndicator = soci::i_null;
    std::string foundTime;
    soci::indicator foundTimeIndicator = soci::i_null;

    std::string registerId;
    std::string cardNo;
    std::string recordRoomNo;
    int cardType = 0;
    std::string lastCheckInTime;
    soci::indicator lastCheckInTimeIndicator = soci::i_null;
    std::string checkInTime;
    soci::indicator checkInTimeIndicator = soci::i_null;
    std::string checkOutTime;
    soci::indicator checkOutTimeIndicator = soci::i_null;
    int isCopy = 0;
    std::string guestName;
    std::string opratingTime;
    soci::indicator opratingTimeIndicator = soci::i_null;

    // Each is prepared on first use, so a damaged table fails only the operations that use it, and
    // dropped after an error, so the next use prepares it afresh.
    std::optional<soci::statement> lookup;
    std::optional<soci::statement> update;
    std::optional<soci::statement> insertRoom;
    std::optional<soci::statement> insertRecord;
};

TDoorlockRecordStore* DoorlockRecordStore = nullptr;

TDoorlockRecordStore::TDoorlockRecordStore(std::string backend, std::string connectString)
    : m_backend(std::move(backend)), m_connectString(std::move(connectString)) {
    std::string what = m_connectString;
    if (!IsSqlite(m_backend)) {
        try {
            what = ParsePostgresConninfo(m_connectString).Description;
        } catch (const std::exception&) {
            what = "PostgreSQL"; // the open logs why
        }
    }
    m_description = Gbk("数据库: ") + (IsSqlite(m_backend) ? "SQLite " : "") + Utf8ToGbk(what);
}

TDoorlockRecordStore::~TDoorlockRecordStore() {
    {
        std::lock_guard<std::mutex> retry(m_retryLock);
        m_retryStop = true;
    }
    m_retrySignal.notify_all();
    if (m_retryThread.joinable())
        m_retryThread.join();
    std::unique_lock<std::timed_mutex> guard(m_lock);
    // One last try for the held rows; what is still held then is logged, so no row goes without a word.
    if (!m_heldRecords.empty() && EnsureOpenLocked(guard))
        StoreHeldRecordsLocked();
    for (const TIssueCardRecord& record : m_heldRecords)
        WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    CloseLocked();
}

bool TDoorlockRecordStore::IsShared() const {
    return !IsSqlite(m_backend);
}

std::unique_ptr<soci::session> TDoorlockRecordStore::Connect() const {
    RegisterLinkedBackends();
    if (IsSqlite(m_backend)) {
        auto session = std::make_unique<soci::session>(m_backend, SqliteConnectString(m_connectString));
        // A row must be on disk before the response that follows it goes out: WAL keeps that to one
        // sync per commit, and synchronous=FULL makes that sync happen at every commit.
        std::string journalMode;
        *session << "PRAGMA journal_mode=WAL", soci::into(journalMode);
        *session << "PRAGMA synchronous=FULL";
        return session;
    }
    // The backend passes a URI on wrongly; libpq's keyword form reaches the server as written.
    auto session =
        std::make_unique<soci::session>(m_backend, ParsePostgresConninfo(m_connectString).KeywordForm);
    // The server's notices ("relation ... already exists, skipping") are no errors; libpq would print
    // them on standard error, which a service sends to the journal.
    *session << "SET client_min_messages TO warning";
    // Times are read back as ISO text and text columns hold UTF-8, whatever the server's defaults.
    *session << "SET datestyle TO ISO, YMD";
    *session << "SET client_encoding TO 'UTF8'";
    return session;
}

void TDoorlockRecordStore::OpenDatabase() {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    EnsureOpenLocked(guard);
}

bool TDoorlockRecordStore::IsOpen() const {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    return m_session != nullptr;
}

void TDoorlockRecordStore::SetConnectBackoff(std::chrono::milliseconds backoff) {
    std::lock_guard<std::mutex> gate(m_connectLock);
    m_connectBackoff = backoff;
}

void TDoorlockRecordStore::SetUpSchema(soci::session& session) {
    // Desks that start together on a fresh server would each create the same table, and IF NOT EXISTS does
    // not guard against another session doing it at the same moment: the set-up takes turns on a lock.
    auto run = [&](const char* sql) {
        if (!IsShared()) {
            session << sql;
            return;
        }
        session.begin();
        try {
            session << "SELECT pg_advisory_xact_lock(" + std::to_string(SchemaLockKey) + ")";
            session << sql;
            session.commit();
        } catch (const std::exception&) {
            try {
                session.rollback();
            } catch (const std::exception&) {
            }
            throw;
        }
    };
    run(CreateRoomTableSql);
    run(CreateRecordTableSql);
    try {
        run(CreateRoomIndexSql);
        for (const char* sql : CreateRecordIndexSql)
            run(sql);
    } catch (const std::exception& e) {
        // Only speed is lost; a T_Room that cannot take the index fails its own statements later.
        WriteLog(Utf8ToGbk(e.what()));
    }
}

std::unique_ptr<soci::session> TDoorlockRecordStore::ConnectGated(bool withSchema) {
    std::unique_lock<std::mutex> gate(m_connectLock);
    if (m_connecting) {
        m_connectDone.wait(gate, [this] { return !m_connecting; });
        if (std::chrono::steady_clock::now() >= m_nextAttempt)
            return nullptr;
    }
    if (std::chrono::steady_clock::now() < m_nextAttempt)
        throw std::runtime_error("数据库连接失败后" + SecondsText(m_connectBackoff) +
                                 "秒内不再连接: " + m_lastConnectError);
    m_connecting = true;
    gate.unlock();
    std::unique_ptr<soci::session> session;
    try {
        session = Connect();
        if (withSchema)
            SetUpSchema(*session);
    } catch (const std::exception& e) {
        gate.lock();
        m_connecting = false;
        m_nextAttempt = std::chrono::steady_clock::now() + m_connectBackoff;
        m_lastConnectError = e.what();
        gate.unlock();
        m_connectDone.notify_all();
        throw;
    }
    gate.lock();
    m_connecting = false;
    m_nextAttempt = {};
    gate.unlock();
    m_connectDone.notify_all();
    return session;
}

bool TDoorlockRecordStore::EnsureOpenLocked(std::unique_lock<std::timed_mutex>& guard) {
    return EnsureOpenLocked(guard, true);
}

bool TDoorlockRecordStore::EnsureOpenLocked(std::unique_lock<std::timed_mutex>& guard, bool logFailure) {
    for (;;) {
        if (m_session) {
            if (!IsSqlite(m_backend) || FileIdentityOf(m_connectString) == m_openedFile)
                return true;
            // Closing first lets SQLite remove the old file's journal files by name before a new file takes
            // it.
            CloseLocked();
        }
        try {
            std::unique_ptr<soci::session> session;
            if (IsSqlite(m_backend)) {
                // The backend is loaded by name at run time (libsoci_<name>.so.4.0 from SOCI's search path,
                // which the environment variable SOCI_BACKENDS_PATH can extend).
                session = Connect();
                SetUpSchema(*session);
            } else {
                // A server that does not answer holds the attempt for the connect time-out: meanwhile the
                // operations that have a connection go on.
                guard.unlock();
                try {
                    session = ConnectGated(true);
                } catch (const std::exception&) {
                    guard.lock();
                    throw;
                }
                guard.lock();
                if (!session || m_session)
                    continue; // opened by another operation meanwhile, or its attempt is to be seen
            }
            m_session = std::move(session);
            m_statements = std::make_unique<TStatements>();
            if (IsSqlite(m_backend))
                m_openedFile = FileIdentityOf(m_connectString);
            StoreHeldRecordsLocked();
            return m_session != nullptr;
        } catch (const std::exception& e) {
            if (logFailure)
                LogFailure(e);
            return false;
        }
    }
}

bool TDoorlockRecordStore::CloseForExit(std::chrono::milliseconds wait) {
    if (!m_lock.try_lock_for(wait))
        return false;
    // The lock stays taken: nothing may reopen the store before the process ends.
    CloseLocked();
    return true;
}

void TDoorlockRecordStore::CloseLocked() {
    m_statements.reset();
    m_session.reset();
}

void TDoorlockRecordStore::LogFailure(const std::exception& error) {
    // SOCI and the database engines report in ASCII or UTF-8.
    WriteLog(Utf8ToGbk(error.what()));
    // A server connection that has gone is opened afresh by the next operation.
    if (m_session && !m_session->is_connected())
        CloseLocked();
}

template <typename TMember, typename TStep>
bool TDoorlockRecordStore::RunLocked(std::unique_lock<std::timed_mutex>& guard, TMember statement,
                                     TStep step) {
    // A connection found lost after a failure (a server restart since the last operation) is opened again
    // and the step run once more, so the restart costs at most an operation that was under way.
    for (int attempt = 0;; ++attempt) {
        if (!EnsureOpenLocked(guard))
            return false;
        try {
            step(*m_statements);
            return true;
        } catch (const std::exception& e) {
            ((*m_statements).*statement).reset();
            LogFailure(e);
            if (m_session || attempt > 0)
                return false;
        }
    }
}

TDateTime TDoorlockRecordStore::GetLastCheckInTime(const std::string& roomKey) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    TDateTime value = 0;
    RunLocked(guard, &TStatements::lookup, [&](TStatements& s) {
        value = 0;
        s.roomNo = GbkToUtf8(roomKey);
        if (!s.lookup)
            s.lookup.emplace((m_session->prepare << LookupSql, soci::into(s.foundTime, s.foundTimeIndicator),
                              soci::use(s.roomNo, "RoomNo")));
        if (!s.lookup->execute(true))
            return;
        bool isNull = s.foundTimeIndicator == soci::i_null;
        std::string found = s.foundTime;
        // Run the query to its end: a query left part-way holds its read snapshot, which keeps the WAL
        // from being checkpointed.
        while (s.lookup->fetch()) {
        }
        if (isNull || found.empty())
            return;
        if (!TryDbTextToDateTime(found, value)) {
            value = 0;
            throw std::runtime_error("Invalid LastCheckInTime '" + found + "' in T_Room");
        }
    });
    return value;
}

void TDoorlockRecordStore::SetLastCheckInTime(const std::string& roomKey, TDateTime time) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    long long affected = 0;
    const bool updated = RunLocked(guard, &TStatements::update, [&](TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.update)
            s.update.emplace((m_session->prepare << UpdateSql,
                              soci::use(s.time, s.timeIndicator, "LastCheckInTime"),
                              soci::use(s.roomNo, "RoomNo")));
        s.update->execute(true);
        affected = s.update->get_affected_rows();
    });
    // No insert after a failed update.
    if (updated && affected == 0)
        AddRoomLocked(guard, roomKey, time);
}

void TDoorlockRecordStore::AddRoom(const std::string& roomKey, TDateTime time) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    AddRoomLocked(guard, roomKey, time);
}

void TDoorlockRecordStore::AddRoomLocked(std::unique_lock<std::timed_mutex>& guard,
                                         const std::string& roomKey, TDateTime time) {
    const bool added = RunLocked(guard, &TStatements::insertRoom, [&](TStatements& s) {
        s.roomNo = GbkToUtf8(roomKey);
        BindDateTime(time, s.time, s.timeIndicator);
        if (!s.insertRoom)
            s.insertRoom.emplace((m_session->prepare << InsertRoomSql, soci::use(s.roomNo, "RoomNo"),
                                  soci::use(s.time, s.timeIndicator, "LastCheckInTime")));
        s.insertRoom->execute(true);
    });
    if (added)
        WriteLog(NewRoomText() + roomKey);
}

TRoomLock TDoorlockRecordStore::LockRoom(const std::string& roomKey) {
    TRoomLock lock;
    if (!IsShared())
        return lock;
    const auto deadline = std::chrono::steady_clock::now() + m_lockWait;
    std::unique_ptr<soci::session> session;
    {
        std::unique_lock<std::mutex> pool(m_lockSessionsLock);
        if (!m_lockSessionReturned.wait_until(pool, deadline, [&] {
                return !m_idleLockSessions.empty() || m_lockSessionsInUse < MaxLockSessions;
            })) {
            WriteLog(LockWaitedText(roomKey, m_lockWait));
            return lock;
        }
        if (!m_idleLockSessions.empty()) {
            session = std::move(m_idleLockSessions.back());
            m_idleLockSessions.pop_back();
        }
        ++m_lockSessionsInUse;
    }
    lock.m_store = this;
    const long long key = RoomLockKey(GbkToUtf8(roomKey));
    // An idle connection may have lost its server since its last use: then one more try on a new one.
    bool fromPool = session != nullptr;
    for (;;) {
        try {
            // Through the gate, like the store's own connection: a server that does not answer holds one
            // attempt, not every room lock.
            while (!session)
                session = ConnectGated(false);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            session->begin();
            *session << "SET LOCAL lock_timeout = " + std::to_string(std::max<long long>(1, left.count()));
            *session << "SELECT pg_advisory_xact_lock(" + std::to_string(key) + ")";
            lock.m_session = std::move(session);
            return lock;
        } catch (const std::exception& e) {
            const bool timedOut = std::string_view(e.what()).find("lock timeout") != std::string_view::npos;
            WriteLog(timedOut ? LockWaitedText(roomKey, m_lockWait) : Utf8ToGbk(e.what()));
            const bool lost = !session || !session->is_connected();
            if (lost) {
                session.reset();
            } else {
                try {
                    session->rollback();
                } catch (const std::exception&) {
                    session.reset();
                }
            }
            if (fromPool && lost && !timedOut) {
                fromPool = false;
                continue;
            }
            break;
        }
    }
    // Rolled back already: the connection only goes back to the others.
    ReturnLockSession(std::move(session));
    lock.m_store = nullptr;
    return lock;
}

void TDoorlockRecordStore::ReleaseRoomLock(std::unique_ptr<soci::session> session) {
    if (session) {
        try {
            // Ends the transaction and with it the lock; a lost connection has released it already.
            session->commit();
        } catch (const std::exception& e) {
            WriteLog(Utf8ToGbk(e.what()));
            session.reset();
        }
    }
    ReturnLockSession(std::move(session));
}

void TDoorlockRecordStore::ReturnLockSession(std::unique_ptr<soci::session> session) {
    std::lock_guard<std::mutex> pool(m_lockSessionsLock);
    if (session)
        m_idleLockSessions.push_back(std::move(session));
    --m_lockSessionsInUse;
    m_lockSessionReturned.notify_one();
}

TRoomLock::TRoomLock() = default;

TRoomLock::TRoomLock(TRoomLock&& other) noexcept
    : m_store(std::exchange(other.m_store, nullptr)), m_session(std::move(other.m_session)) {}

TRoomLock& TRoomLock::operator=(TRoomLock&& other) noexcept {
    if (this != &other) {
        if (m_store != nullptr)
            m_store->ReleaseRoomLock(std::move(m_session));
        m_store = std::exchange(other.m_store, nullptr);
        m_session = std::move(other.m_session);
    }
    return *this;
}

TRoomLock::~TRoomLock() {
    if (m_store != nullptr)
        m_store->ReleaseRoomLock(std::move(m_session));
}

void TDoorlockRecordStore::AddIssueCardRecord(const std::string& registerId, const std::string& cardNo,
                                              const std::string& roomNo, int cardType,
                                              TDateTime lastCheckInTime, TDateTime checkInTime,
                                              TDateTime checkOutTime, bool isCopy,
                                              const std::string& guestName, TDateTime opratingTime) {
    std::unique_lock<std::mutex> queue(m_recordQueueLock);
    m_pendingRecords.push_back(TIssueCardRecord{registerId, cardNo, roomNo, cardType, lastCheckInTime,
                                                checkInTime, checkOutTime, isCopy, guestName, opratingTime});
    const uint64_t mine = ++m_recordsQueued;
    // Group commit: the first caller stores every row queued so far in one transaction while later callers
    // queue theirs; each returns once a commit has covered its own row.
    while (m_recordsStored < mine) {
        if (m_storingRecords) {
            m_recordsStoredSignal.wait(queue);
            continue;
        }
        m_storingRecords = true;
        std::vector<TIssueCardRecord> batch;
        batch.swap(m_pendingRecords);
        const uint64_t last = m_recordsQueued;
        queue.unlock();
        try {
            StoreIssueCardRecords(batch);
        } catch (...) {
            // Not a database error (those are logged): let the next caller take over, then pass it on.
            queue.lock();
            m_recordsStored = last;
            m_storingRecords = false;
            m_recordsStoredSignal.notify_all();
            throw;
        }
        queue.lock();
        m_recordsStored = last;
        m_storingRecords = false;
        m_recordsStoredSignal.notify_all();
    }
}

void TDoorlockRecordStore::StoreIssueCardRecords(const std::vector<TIssueCardRecord>& records) {
    std::unique_lock<std::timed_mutex> guard(m_lock);
    if (records.size() > 1 && EnsureOpenLocked(guard) && StoreTogetherLocked(records))
        return;
    // One at a time, as if each had come alone: an error that ends a whole transaction (a full disk, an I/O
    // error, a trigger's ROLLBACK) takes the shared commit with it, and the batch must not lose the rows it
    // had taken.
    bool outOfReach = false;
    for (const TIssueCardRecord& record : records) {
        // Once the server is found out of reach, the rest of the batch is kept with that row.
        if (outOfReach) {
            HoldRecordLocked(record);
            continue;
        }
        if (EnsureOpenLocked(guard) && InsertIssueCardRecordLocked(guard, record))
            continue;
        if (IsShared() && !m_session) {
            outOfReach = true;
            HoldRecordLocked(record);
        }
    }
}

void TDoorlockRecordStore::HoldRecordLocked(const TIssueCardRecord& record) {
    if (m_heldRecords.size() >= MaxHeldRecords) {
        WriteLog(Gbk("发卡记录未保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
        return;
    }
    m_heldRecords.push_back(record);
    WriteLog(Gbk("发卡记录暂存，数据库恢复后保存: ") + IssueRecordText(record.CardNo, record.RoomNo));
    std::lock_guard<std::mutex> retry(m_retryLock);
    if (!m_retryThread.joinable() && !m_retryStop)
        m_retryThread = std::thread([this] { RetryHeldRecords(); });
}

void TDoorlockRecordStore::StoreHeldRecordsLocked() {
    size_t stored = 0;
    while (!m_heldRecords.empty() && m_session) {
        try {
            RunInsertRecordLocked(m_heldRecords.front());
            ++stored;
        } catch (const std::exception& e) {
            m_statements->insertRecord.reset();
            LogFailure(e);
            // A lost connection keeps the row; a row the server refuses goes, logged like one that came
            // alone.
            if (!m_session)
                break;
        }
        m_heldRecords.pop_front();
    }
    if (stored > 0)
        WriteLog(Gbk("数据库恢复，已保存暂存的发卡记录") + std::to_string(stored) + Gbk("条"));
}

void TDoorlockRecordStore::RetryHeldRecords() {
    std::unique_lock<std::mutex> retry(m_retryLock);
    while (!m_retryStop) {
        std::chrono::milliseconds interval;
        {
            std::lock_guard<std::mutex> gate(m_connectLock);
            interval = std::max<std::chrono::milliseconds>(m_connectBackoff, MinHeldRetryInterval);
        }
        if (m_retrySignal.wait_for(retry, interval, [this] { return m_retryStop; }))
            break;
        retry.unlock();
        {
            std::unique_lock<std::timed_mutex> guard(m_lock);
            // Not logged: the rows were when they were kept, and an outage would fill the log.
            if (!m_heldRecords.empty() && EnsureOpenLocked(guard, false))
                StoreHeldRecordsLocked();
        }
        retry.lock();
    }
}

bool TDoorlockRecordStore::StoreTogetherLocked(const std::vector<TIssueCardRecord>& records) {
    bool begun = false;
    try {
        m_session->begin();
        begun = true;
        for (const TIssueCardRecord& record : records)
            RunInsertRecordLocked(record);
        m_session->commit();
        return true;
    } catch (const std::exception&) {
        // Nothing is logged here: every row is tried again on its own, and that logs what fails.
        m_statements->insertRecord.reset();
        if (begun) {
            try {
                // The error may have ended the transaction already; then there is nothing to undo.
                m_session->rollback();
            } catch (const std::exception&) {
            }
        }
        if (!m_session->is_connected())
            CloseLocked();
        return false;
    }
}

bool TDoorlockRecordStore::InsertIssueCardRecordLocked(std::unique_lock<std::timed_mutex>& guard,
                                                       const TIssueCardRecord& record) {
    return RunLocked(guard, &TStatements::insertRecord, [&](TStatements&) { RunInsertRecordLocked(record); });
}

void TDoorlockRecordStore::RunInsertRecordLocked(const TIssueCardRecord& record) {
    TStatements& s = *m_statements;
    s.registerId = GbkToUtf8(record.RegisterId);
    s.cardNo = GbkToUtf8(record.CardNo);
    s.recordRoomNo = GbkToUtf8(record.RoomNo);
    s.cardType = record.CardType;
    BindDateTime(record.LastCheckInTime, s.lastCheckInTime, s.lastCheckInTimeIndicator);
    BindDateTime(record.CheckInTime, s.checkInTime, s.checkInTimeIndicator);
    BindDateTime(record.CheckOutTime, s.checkOutTime, s.checkOutTimeIndicator);
    s.isCopy = record.IsCopy ? 1 : 0;
    s.guestName = GbkToUtf8(record.GuestName);
    BindDateTime(record.OpratingTime, s.opratingTime, s.opratingTimeIndicator);
    if (!s.insertRecord)
        s.insertRecord.emplace((m_session->prepare << InsertRecordSql, soci::use(s.registerId, "RegisterId"),
                                soci::use(s.cardNo, "CardNo"), soci::use(s.recordRoomNo, "RoomNo"),
                                soci::use(s.cardType, "CardType"),
                                soci::use(s.lastCheckInTime, s.lastCheckInTimeIndicator, "LastCheckInTime"),
                                soci::use(s.checkInTime, s.checkInTimeIndicator, "CheckInTime"),
                                soci::use(s.checkOutTime, s.checkOutTimeIndicator, "CheckOutTime"),
                                soci::use(s.isCopy, "IsCopy"), soci::use(s.guestName, "GuestName"),
                                soci::use(s.opratingTime, s.opratingTimeIndicator, "OpratingTime")));
    s.insertRecord->execute(true);
}
