// A server store whose server is slow, blocked, read-only or away for a while: no operation waits past its
// budget, no row of an issue is lost, and the store is used again as soon as the server answers.
#include "support/RecordStoreFixture.h"
#include "support/RecordTestSupport.h"

#include "support/ServerProxy.h"

#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/RecordStoreErrorUnit.h"
#include "records/RecordStoreSessionUnit.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Sessions of a program that wait for a lock.
int WaitingForLocks(soci::session& raw, const std::string& program) {
    int waiting = 0;
    raw << "select count(*) from pg_locks l join pg_stat_activity a on a.pid = l.pid where not l.granted and "
           "a.application_name = '" +
               program + "'",
        soci::into(waiting);
    return waiting;
}

bool Logged(const std::vector<std::string>& messages, const std::string& part) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(part) != std::string::npos; });
}

} // namespace

// A statement that gave up waiting for a lock another session holds is told from other failures by the back
// end's own error code, not by its message: the room lock's log line rests on it.
TEST_P(TRecordStoreTest, AStatementThatWaitedTooLongForALockIsALockTimeOut) {
    auto store = OpenStore();
    auto holder = Raw();
    std::unique_ptr<soci::session> waiter;
    if (OnPostgres()) {
        waiter = Raw();
        *waiter << "SET lock_timeout = 50";
        holder->begin();
        *holder << "LOCK TABLE T_Room IN ACCESS EXCLUSIVE MODE";
    } else {
        // No busy wait at all: the first refusal ends the statement.
        waiter = std::make_unique<soci::session>("sqlite3", "db=\"" + DbPath() + "\" timeout=0");
        *holder << "BEGIN EXCLUSIVE";
    }
    struct TCase {
        const char* Sql;
        bool LockTimeOut;
    };
    const TCase cases[] = {
        {"insert into T_Room(RoomNo) values('0101')", true},
        {"insert into T_NoSuchTable(RoomNo) values('0101')", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Sql);
        try {
            *waiter << c.Sql;
            ADD_FAILURE() << "ran";
        } catch (const std::exception& e) {
            EXPECT_EQ(IsLockTimeout(e), c.LockTimeOut) << e.what();
        }
    }
    EXPECT_FALSE(IsLockTimeout(std::runtime_error("canceling statement due to lock timeout")));
    holder->rollback();
}

// Every session bounds its statements and lock waits, unless the settings name their own.
TEST_P(TPostgresRecordStoreTest, SessionsBoundTheirWaitsUnlessTheSettingsNameTheirOwn) {
    struct Case {
        const char* options; // server options beside the schema's search path
        const char* statementTimeout;
        const char* lockTimeout;
    };
    const Case cases[] = {
        {"", "1s", "800ms"},
        {" -c statement_timeout=7s", "7s", "800ms"},
        {" -c lock_timeout=0", "1s", "0"},
        {" -c lock_timeout=2s -c statement_timeout=0", "0", "2s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        auto session = OpenRecordStoreSession(
            Backend(), Target() + " options='-c search_path=" + SchemaName() + c.options + "'");
        std::string statementTimeout, lockTimeout;
        *session << "SHOW statement_timeout", soci::into(statementTimeout);
        *session << "SHOW lock_timeout", soci::into(lockTimeout);
        EXPECT_EQ(statementTimeout, c.statementTimeout);
        EXPECT_EQ(lockTimeout, c.lockTimeout);
    }
}

// What the server says when a row fails decides its fate: a read-only server (a standby after a failover)
// gets a new session at once, which finds the primary; a time-out or a lock wait keeps the row until the
// server takes it; a refusal is logged and the row goes. A kept row that fails again on its retry stays
// kept, in the spool as in memory.
TEST_P(TPostgresRecordStoreTest, ARowTheServerFailsIsStoredAgainKeptOrDroppedByWhatItSaid) {
    struct Case {
        const char* state;
        bool reopened; // stored at once through a new session
        bool kept;     // stored later by the retry
        int failures = 1;
        bool spooled = false; // the store keeps its rows in a spool file
    };
    const Case cases[] = {
        {"25006", true, false},          {"57014", false, true},  {"55P03", false, true},
        {"40001", false, true},          {"22023", false, false}, {"57014", false, true, 2},
        {"57014", false, true, 2, true},
    };
    auto store = OpenStore();
    TDoorlockRecordStore spooledStore(Backend(), Target(), Sandbox().File("Spool.db"));
    spooledStore.SetOperationWait(std::chrono::seconds(60));
    auto raw = Raw();
    // Sequences are not rolled back with the failed insert: the first attempt's session stays known.
    *raw << "CREATE SEQUENCE Attempts";
    *raw << "CREATE SEQUENCE FailedSession";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.state) + " failing " + std::to_string(c.failures) + " times" +
                     (c.spooled ? ", spooled" : ""));
        *raw << "delete from T_IssueCardRecord";
        *raw << "SELECT setval('Attempts', 1, false)";
        *raw << std::string(
                    "CREATE OR REPLACE FUNCTION FailOnce() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                    "IF nextval('Attempts') <= " +
                    std::to_string(c.failures) +
                    " THEN PERFORM setval('FailedSession', pg_backend_pid()); "
                    "RAISE EXCEPTION 'failed once' USING ERRCODE = '") +
                    c.state + "'; END IF; NEW.GuestName = CAST(pg_backend_pid() AS TEXT); RETURN NEW; END $$";
        *raw << "CREATE OR REPLACE TRIGGER FailOnce BEFORE INSERT ON T_IssueCardRecord FOR EACH ROW EXECUTE "
                "FUNCTION FailOnce()";
        const size_t before = LogMessages().size();
        (c.spooled ? spooledStore : *store)
            .AddIssueCardRecord({.RegisterId = std::string("R") + c.state, .CardNo = "1", .RoomNo = "0101"});
        const std::vector<std::string> messages = LogMessages();
        ASSERT_GT(messages.size(), before);
        EXPECT_THAT(messages[before], HasSubstr("failed once"));
        const std::string kept = Gbk("发卡记录暂存，数据库恢复后保存: 卡号1, 房间0101");
        EXPECT_EQ(std::count(messages.begin() + before, messages.end(), kept), c.kept ? 1 : 0);
        if (c.reopened) {
            ASSERT_EQ(RowCount(*raw, "T_IssueCardRecord"), 1);
            std::string storedBy;
            long long failedSession = 0;
            *raw << "select GuestName from T_IssueCardRecord", soci::into(storedBy);
            *raw << "select last_value from FailedSession", soci::into(failedSession);
            EXPECT_NE(storedBy, std::to_string(failedSession));
        } else if (c.kept) {
            EXPECT_TRUE(WaitFor([&] { return RowCount(*raw, "T_IssueCardRecord") == 1; }));
            // The retry logs what it stored after its commit: that line belongs to this case, not the next.
            const std::string restored = Gbk("数据库恢复，已保存暂存的发卡记录1条");
            EXPECT_TRUE(WaitFor([&] {
                const std::vector<std::string> now = LogMessages();
                return std::find(now.begin() + static_cast<long>(before), now.end(), restored) != now.end();
            }));
        } else {
            EXPECT_EQ(RowCount(*raw, "T_IssueCardRecord"), 0);
        }
    }
    *raw << "DROP TRIGGER FailOnce ON T_IssueCardRecord";
}

// Another program holds the tables: the look-up ends at the lock time-out (the issue goes on), the row waits
// in the store, and an operation that finds the session taken past its wait does not queue behind it. Once
// the tables are free, the row is stored without another operation.
TEST_P(TPostgresRecordStoreTest, ABlockedServerHoldsNoOperationPastItsWaitAndTheRowsFollowLater) {
    const TDateTime start = EncodeDateTime(2026, 12, 29, 12, 0, 0);
    auto store = OpenStore();
    // A store whose settings wait as long as it takes.
    auto patient = OpenStore(Target() + " application_name=patient options='-c search_path=" + SchemaName() +
                             " -c lock_timeout=0 -c statement_timeout=0'");
    store->AddRoom("0101", start);
    store->AddIssueCardRecord({.RegisterId = "before", .CardNo = "1", .RoomNo = "0101"});
    auto raw = Raw();
    raw->begin();
    *raw << "LOCK TABLE T_Room, T_IssueCardRecord IN ACCESS EXCLUSIVE MODE";

    EXPECT_EQ(store->GetLastCheckInTime("0101"), std::nullopt);
    store->AddIssueCardRecord({.RegisterId = "blocked", .CardNo = "2", .RoomNo = "0101"});
    std::vector<std::string> messages = LogMessages();
    EXPECT_TRUE(Logged(messages, "lock timeout"));
    EXPECT_THAT(messages, Contains(Gbk("发卡记录暂存，数据库恢复后保存: 卡号2, 房间0101")));

    std::thread waiting([&] { patient->SetLastCheckInTime("0101", start); });
    ASSERT_TRUE(WaitFor([&] { return WaitingForLocks(*Raw(), "patient") > 0; }));
    patient->SetOperationWait(std::chrono::milliseconds(0));
    EXPECT_EQ(patient->GetLastCheckInTime("0101"), std::nullopt);
    patient->AddIssueCardRecord({.RegisterId = "busy", .CardNo = "3", .RoomNo = "0101"});
    messages = LogMessages();
    EXPECT_THAT(messages, Contains(Gbk("数据库繁忙，等待超过0秒，未执行")));
    EXPECT_THAT(messages, Contains(Gbk("发卡记录暂存，数据库恢复后保存: 卡号3, 房间0101")));

    raw->rollback();
    waiting.join();
    EXPECT_TRUE(WaitFor([&] { return RowCount(*raw, "T_IssueCardRecord") == 3; }));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), start);
}

// After a failed connection the store fails at once for the back-off (here an hour), but a probe finds the
// server answering again within about a second and opens the store for everyone: a copy issued then reads
// the room's recorded start.
TEST_P(TPostgresRecordStoreTest, TheFirstAnswerAfterAnOutageEndsTheBackOff) {
    const TDateTime start = EncodeDateTime(2026, 12, 29, 12, 0, 0);
    TServerProxy proxy(UriPort(TPostgresSchema::ServerUri()));
    auto store =
        std::make_unique<TDoorlockRecordStore>(Backend(), Target() + " port=" + std::to_string(proxy.Port()));
    store->SetConnectBackoff(std::chrono::hours(1));
    store->SetLastCheckInTime("0101", start);
    ASSERT_TRUE(store->IsOpen());

    proxy.GoSilent();
    EXPECT_EQ(store->GetLastCheckInTime("0101"), std::nullopt);
    EXPECT_FALSE(store->IsOpen());
    EXPECT_EQ(store->GetLastCheckInTime("0101"), std::nullopt); // within the back-off: at once
    EXPECT_THAT(LogMessages().back(), HasSubstr("3600"));

    proxy.Answer();
    EXPECT_TRUE(WaitFor([&] { return store->IsOpen(); }, std::chrono::seconds(20)));
    EXPECT_EQ(store->GetLastCheckInTime("0101"), start);
}

namespace {

// A database of a test's own on the test server, missing until Create.
class TOwnDatabase {
public:
    TOwnDatabase() : m_name("doorlock_spool_" + std::to_string(std::random_device()())) {}
    ~TOwnDatabase() {
        if (m_created)
            Admin("DROP DATABASE " + m_name + " WITH (FORCE)");
    }
    std::string Uri() const {
        const std::string server = TPostgresSchema::ServerUri();
        return server.substr(0, server.rfind('/') + 1) + m_name;
    }
    void Create() {
        Admin("CREATE DATABASE " + m_name);
        m_created = true;
    }

private:
    static void Admin(const std::string& sql) {
        soci::session admin("postgresql", ParsePostgresConninfo(TPostgresSchema::ServerUri()).KeywordForm);
        admin << sql;
    }
    std::string m_name;
    bool m_created = false;
};

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

} // namespace

// Rows the server did not take wait in the spool file, on disk when the call returns; a store started later
// on the same spool stores them, field for field and in order, as soon as the server answers, and empties it.
TEST_P(TPostgresRecordStoreTest, RowsTheServerDidNotTakeOutliveTheStoreInTheSpool) {
    TOwnDatabase database;
    const std::string spool = Sandbox().File("Spool.db");
    const std::string guests[] = {Gbk("张三"), "3:a|b", "", "0:"};
    {
        TDoorlockRecordStore store(Backend(), database.Uri(), spool);
        store.SetConnectBackoff(std::chrono::hours(1));
        for (int i = 0; i < 4; ++i)
            store.AddIssueCardRecord({.RegisterId = "R" + std::to_string(i),
                                      .CardNo = std::to_string(i),
                                      .RoomNo = "0101",
                                      .LastCheckInTime = EncodeDateTime(2026, 12, 29, 12, 0, i, 499),
                                      .CheckOutTime = 45291.25,
                                      .IsCopy = i % 2 == 1,
                                      .GuestName = guests[i],
                                      .OpratingTime = EncodeDateTime(2026, 12, 29, 12, 1, i),
                                      .Source = "127.0.0.1:" + std::to_string(40000 + i)});
        soci::session file("sqlite3", SqliteConnectString(spool, true));
        EXPECT_EQ(RowCount(file, "T_HeldIssueCardRecord"), 4);
    }
    EXPECT_THAT(LogMessages(), Not(Contains(HasSubstr(Gbk("发卡记录未保存")))));

    database.Create();
    TDoorlockRecordStore store(Backend(), database.Uri(), spool);
    EXPECT_THAT(LogMessages(), Contains(Gbk("暂存文件中有4条发卡记录，数据库恢复后保存")));
    soci::session server("postgresql", ParsePostgresConninfo(database.Uri()).KeywordForm);
    ASSERT_TRUE(WaitFor(
        [&] {
            try {
                return RowCount(server, "T_IssueCardRecord") == 4;
            } catch (const std::exception&) {
                return false; // the table is not there yet
            }
        },
        std::chrono::seconds(20)));
    soci::rowset<soci::row> rows =
        (server.prepare << "select RegisterId, CardNo, IsCopy, GuestName, CAST(LastCheckInTime AS TEXT), "
                           "CAST(CheckOutTime AS TEXT), CAST(OpratingTime AS TEXT), RequestSource "
                           "from T_IssueCardRecord");
    int i = 0;
    for (const soci::row& row : rows) {
        SCOPED_TRACE(i);
        EXPECT_EQ(row.get<std::string>(0), "R" + std::to_string(i));
        EXPECT_EQ(row.get<std::string>(1), std::to_string(i));
        EXPECT_EQ(row.get<int>(2), i % 2);
        EXPECT_EQ(row.get<std::string>(3), GbkToUtf8(guests[i]));
        EXPECT_EQ(row.get<std::string>(4), "2026-12-29 12:00:0" + std::to_string(i));
        EXPECT_EQ(row.get<std::string>(5), "2023-12-31 06:00:00");
        EXPECT_EQ(row.get<std::string>(6), "2026-12-29 12:01:0" + std::to_string(i));
        EXPECT_EQ(row.get<std::string>(7), "127.0.0.1:" + std::to_string(40000 + i));
        ++i;
    }
    EXPECT_EQ(i, 4);
    EXPECT_TRUE(WaitFor([&] {
        soci::session file("sqlite3", SqliteConnectString(spool, true));
        return RowCount(file, "T_HeldIssueCardRecord") == 0;
    }));
}

// Anyone who can write to the program directory can change the spool: a row that is not one this program
// wrote is logged and dropped, and the rows around it are stored.
TEST_P(TPostgresRecordStoreTest, ASpoolRowThatIsNotARowIsDroppedAndTheOthersStored) {
    const auto fields = [](const std::string& id) {
        return std::vector<std::string>{"1", id,      "1", "0101", "1",       "45290.5",
                                        "0", "45291", "0", "",     "45290.5", "desk"};
    };
    const auto changed = [&](size_t field, const std::string& value) {
        std::vector<std::string> row = fields("R");
        row[field] = value;
        return Hex(JoinSpoolFields(row));
    };
    std::vector<std::string> tooFew = fields("R");
    tooFew.resize(10);
    // A row written before rows named who asked.
    std::vector<std::string> withoutSource = fields("middle");
    withoutSource.pop_back();
    const std::string rows[] = {
        Hex(JoinSpoolFields(fields("first"))),
        "zz",        // not hexadecimal
        "abc",       // no whole bytes
        Hex("5:ab"), // a field longer than the row
        Hex("x:1"),  // no length
        Hex(JoinSpoolFields(tooFew)),
        changed(0, "2"),     // a layout to come
        changed(5, "nan"),   // a time that is no number
        changed(6, "1e308"), // a time out of range
        changed(8, "7"),     // IsCopy neither 0 nor 1
        Hex(JoinSpoolFields(withoutSource)),
        Hex(JoinSpoolFields(fields("last"))),
    };
    const std::string spool = Sandbox().File("Spool.db");
    {
        TRecordSpool file(spool);
        ASSERT_TRUE(file.Add("placeholder")); // makes the file and its table
        soci::session raw("sqlite3", SqliteConnectString(spool, false));
        raw << "delete from T_HeldIssueCardRecord";
        for (const std::string& row : rows)
            raw << "insert into T_HeldIssueCardRecord(Row) values(:Row)", soci::use(row, "Row");
    }
    TDoorlockRecordStore store(Backend(), Target(), spool);
    auto raw = Raw();
    ASSERT_TRUE(WaitFor([&] {
        try {
            return RowCount(*raw, "T_IssueCardRecord") == 3;
        } catch (const std::exception&) {
            return false;
        }
    })) << ::testing::PrintToString(LogMessages());
    std::vector<std::string> ids;
    soci::rowset<soci::row> stored =
        (raw->prepare << "select RegisterId, RequestSource from T_IssueCardRecord");
    for (const soci::row& row : stored)
        ids.push_back(row.get<std::string>(0) + "/" +
                      (row.get_indicator(1) == soci::i_null ? "" : row.get<std::string>(1)));
    EXPECT_THAT(ids, ::testing::ElementsAre("first/desk", "middle/", "last/desk"));
    const std::vector<std::string> messages = LogMessages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) {
                                return m.find(Gbk("暂存文件中的记录无法读取，已丢弃")) != std::string::npos;
                            }),
              9);
}
