#include "records/RecordRetentionUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "records/DoorlockRecordQueryUnit.h"
#include "records/RecordStoreSessionUnit.h"
#include "records/RoomLockPoolUnit.h"
#include "server/LogFileUnit.h"

#include <soci/soci.h>

#include <memory>
#include <utility>

namespace {

// One desk of a shared store works a round at a time; the others skip it.
const long long RetentionLockKey = AdvisoryLockKey("doorlock-host record retention");

// A batch is the oldest rows still to do, up to the operation time of the batchRows-th of them, all of that
// second included: the bound is read first, then the rows up to it are changed. Both run on the index on the
// operation time, and rows already anonymised are passed over from one batch to the next instead of being
// read again.
const char* const BatchEndSql = "select max(OpratingTime) from (select OpratingTime from T_IssueCardRecord "
                                "where OpratingTime >= :FromTime "
                                "and OpratingTime < :Cutoff%s order by OpratingTime limit :BatchRows) batch";
const char* const DeleteSql =
    "delete from T_IssueCardRecord where OpratingTime >= :FromTime and OpratingTime <= :ToTime and "
    "OpratingTime < :Cutoff";
const char* const AnonymiseSql =
    "update T_IssueCardRecord set GuestName = '', RegisterId = '' where OpratingTime >= :FromTime and "
    "OpratingTime <= :ToTime and OpratingTime < :Cutoff%s";
// A row whose name and number are already empty (or NULL) is done.
const char* const StillNamed = " and (GuestName <> '' or RegisterId <> '')";
const char* const EarliestTime = "0001-01-01 00:00:00";

bool Anonymises(const TRecordRetentionPolicy& policy) {
    return policy.Mode == TRecordRetentionMode::Anonymise;
}

std::string DaysText(const TRecordRetentionPolicy& policy) {
    return Gbk("记录保留 ") + std::to_string(policy.Days) + Gbk(" 天：");
}

void RollBack(soci::session& session) {
    try {
        session.rollback();
    } catch (const std::exception&) {
        // A connection that has gone has ended the transaction with it.
    }
}

} // namespace

TRecordRetentionPolicy RecordRetentionPolicyOf(int days, const std::string& written) {
    TRecordRetentionPolicy policy;
    policy.Days = days > 0 ? days : 0;
    const std::string mode = Trim(written);
    if (SameText(mode, "Anonymise"))
        policy.Mode = TRecordRetentionMode::Anonymise;
    else if (SameText(mode, "Delete"))
        policy.Mode = TRecordRetentionMode::Delete;
    else
        throw Exception(FormatText(
            "'%s' is not a valid record retention, Delete or Anonymise (RecordRetention)", {mode}));
    return policy;
}

TDateTime RetentionCutoff(int days, TDateTime now) {
    // Stored times are whole seconds: now is taken to its second, so that the boundary is one stored time.
    const TDateTimeParts parts = DecodeDateTime(now);
    return EncodeDateTime(parts.Year, parts.Month, parts.Day, parts.Hour, parts.Minute, parts.Second) - days;
}

std::string RetentionNotice(const TRecordRetentionPolicy& policy, TDateTime now) {
    if (policy.Days <= 0)
        return {};
    const std::string days = std::to_string(policy.Days) + Gbk(" 天（") +
                             FormatDateTime("yyyy-mm-dd", RetentionCutoff(policy.Days, now)) + Gbk(" 起）");
    return Anonymises(policy) ? Gbk("发卡记录的住客姓名和登记号保留 ") + days : Gbk("发卡记录保留 ") + days;
}

std::string RetentionLine(const TRecordRetentionPolicy& policy, const TRetentionResult& result) {
    const std::string count = std::to_string(result.Rows);
    if (!result.Error.empty())
        return DaysText(policy) + Gbk("处理发卡记录时出错（已处理 ") + count + Gbk(" 条）：") + result.Error;
    if (result.Rows == 0)
        return {};
    return DaysText(policy) + (Anonymises(policy)
                                   ? Gbk("隐去了 ") + count + Gbk(" 条发卡记录的住客姓名和登记号")
                                   : Gbk("删除了 ") + count + Gbk(" 条发卡记录"));
}

TRetentionResult ExpireIssueCardRecords(const TRecordStoreTarget& target,
                                        const TRecordRetentionPolicy& policy, TDateTime now,
                                        const std::function<bool()>& stopping, size_t batchRows) {
    TRetentionResult result;
    if (policy.Days <= 0)
        return result;
    const bool shared = !IsSqlite(target.Backend);
    std::unique_ptr<soci::session> session;
    bool locked = false;
    try {
        // A session of its own: the store's operations never wait for a round, and on a server the round
        // waits for nothing of theirs.
        session = OpenRecordStoreSession(target.Backend, target.ConnectString);
        if (shared) {
            int got = 0;
            *session << "select case when pg_try_advisory_lock(" + std::to_string(RetentionLockKey) +
                            ") then 1 else 0 end",
                soci::into(got);
            if (got == 0) {
                result.Skipped = true;
                return result;
            }
            locked = true;
        }
        const char* const condition = Anonymises(policy) ? StillNamed : "";
        const std::string batchEndSql = FormatText(BatchEndSql, {condition});
        const std::string changeSql = Anonymises(policy) ? FormatText(AnonymiseSql, {StillNamed}) : DeleteSql;
        std::string cutoff = RecordTimeText(RetentionCutoff(policy.Days, now));
        std::string from = EarliestTime;
        long long limit = static_cast<long long>(batchRows);
        while (!stopping()) {
            std::string to;
            soci::indicator toIndicator = soci::i_null;
            long long changed = 0;
            // SQLite: the write lock from the start, as the batch reads before it writes, and a read
            // transaction that another connection wrote past could no longer write.
            if (shared)
                session->begin();
            else
                *session << "BEGIN IMMEDIATE";
            try {
                *session << batchEndSql, soci::into(to, toIndicator), soci::use(from, "FromTime"),
                    soci::use(cutoff, "Cutoff"), soci::use(limit, "BatchRows");
                if (toIndicator != soci::i_null) {
                    soci::statement change = (session->prepare << changeSql, soci::use(from, "FromTime"),
                                              soci::use(to, "ToTime"), soci::use(cutoff, "Cutoff"));
                    change.execute(true);
                    changed = change.get_affected_rows();
                }
                session->commit();
            } catch (...) {
                RollBack(*session);
                throw;
            }
            if (toIndicator == soci::i_null)
                break;
            result.Rows += static_cast<size_t>(changed);
            // No step forward: the rows of that second were there again (stored meanwhile with an old time);
            // the next round takes what is left, rather than this one going round on them.
            if (to == from)
                break;
            // Rows of the last second were all done; rows stored meanwhile with an older time (a desk's spool
            // catching up) wait for the next round.
            from = to;
        }
        result.Stopped = stopping();
    } catch (const std::exception& e) {
        // SOCI and the database engines report in ASCII or UTF-8.
        result.Error = Utf8ToGbk(e.what());
    }
    if (locked) {
        try {
            *session << "select pg_advisory_unlock(" + std::to_string(RetentionLockKey) + ")";
        } catch (const std::exception&) {
            // Released with the session, which ends here.
        }
    }
    return result;
}

TRecordRetention::TRecordRetention(TRecordStoreTarget target, TRecordRetentionPolicy policy,
                                   std::function<TDateTime()> clock)
    : m_target(std::move(target)), m_policy(policy), m_clock(std::move(clock)) {
    m_thread = std::thread([this] { Run(); });
}

TRecordRetention::~TRecordRetention() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void TRecordRetention::StartRound() {
    {
        std::lock_guard lock(m_mutex);
        m_asked = true;
    }
    m_wake.notify_all();
}

unsigned TRecordRetention::Rounds() const {
    std::lock_guard lock(m_mutex);
    return m_rounds;
}

void TRecordRetention::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_asked || m_stopping; });
        if (m_stopping)
            return;
        m_asked = false;
        lock.unlock();
        const TRetentionResult result = ExpireIssueCardRecords(m_target, m_policy, m_clock(), [this] {
            std::lock_guard stop(m_mutex);
            return m_stopping;
        });
        if (const std::string line = RetentionLine(m_policy, result); !line.empty())
            WriteLog(line);
        lock.lock();
        ++m_rounds;
    }
}
