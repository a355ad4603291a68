#pragma once

#include "platform/DateTimeUnit.h"
#include "records/RecordStoreTargetUnit.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// What happens to an issued-card row past its time: it goes, or it keeps everything but the guest's name and
// registration number (set to empty text), so that the card history of a room stays.
enum class TRecordRetentionMode { Delete, Anonymise };

// [DoorlockOption] RecordRetentionDays and RecordRetention. Days 0: every row is kept.
struct TRecordRetentionPolicy {
    int Days = 0;
    TRecordRetentionMode Mode = TRecordRetentionMode::Delete;
};

// From the two settings as written. Raises Exception naming the key for a mode that is neither Delete nor
// Anonymise (any case); days below 0 count as 0.
TRecordRetentionPolicy RecordRetentionPolicyOf(int days, const std::string& mode);

// The oldest operation time a row may have at now and stay whole: now to the second, less the days. A row of
// exactly that time stays; one a second older goes.
TDateTime RetentionCutoff(int days, TDateTime now);

// For the records list (GBK): from when rows are kept whole, e.g. "发卡记录保留 180 天（2026-06-13 起）";
// empty when every row is kept.
std::string RetentionNotice(const TRecordRetentionPolicy& policy, TDateTime now);

// Rows changed in one transaction: each batch is short, so a card's row never waits long behind it.
constexpr size_t RetentionBatchRows = 500;

struct TRetentionResult {
    size_t Rows = 0;      // deleted or anonymised
    bool Skipped = false; // another desk of the shared store holds this round
    bool Stopped = false; // asked to stop between batches
    std::string Error{};  // GBK; empty when the round went through
};

// One round on the store's issued-card rows (never T_Room, never the spool): batches of batchRows rows, each
// its own transaction on a session of its own, until no row is left, stopping() says so or a statement
// fails. On a shared PostgreSQL store only the desk that gets the round's advisory lock works; the others
// skip it.
TRetentionResult ExpireIssueCardRecords(const TRecordStoreTarget& target,
                                        const TRecordRetentionPolicy& policy, TDateTime now,
                                        const std::function<bool()>& stopping,
                                        size_t batchRows = RetentionBatchRows);

// The log line of a round (GBK), e.g. "记录保留 180 天：删除了 12 条发卡记录"; empty when no row changed.
std::string RetentionLine(const TRecordRetentionPolicy& policy, const TRetentionResult& result);

// The rounds of a running host, on a thread of their own so that no request waits for them: one at each
// StartRound (the host's start and each new day), each logged in one line. A stop waits for the batch
// under way at most.
class TRecordRetention {
public:
    TRecordRetention(TRecordStoreTarget target, TRecordRetentionPolicy policy,
                     std::function<TDateTime()> clock = Now);
    ~TRecordRetention();
    TRecordRetention(const TRecordRetention&) = delete;
    TRecordRetention& operator=(const TRecordRetention&) = delete;

    // Asks for a round and returns at once; a round asked for while one runs follows it.
    void StartRound();
    // Rounds finished (for tests).
    unsigned Rounds() const;

private:
    void Run();

    TRecordStoreTarget m_target;
    TRecordRetentionPolicy m_policy;
    std::function<TDateTime()> m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_asked = false;
    bool m_stopping = false;
    unsigned m_rounds = 0;
    std::thread m_thread;
};
