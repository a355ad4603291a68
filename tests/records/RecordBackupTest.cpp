#include "records/RecordBackupUnit.h"
#include "records/RecordStoreSessionUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <soci/soci.h>

#include <atomic>
#include <memory>
#include <thread>

// A database of many steps copied while another program commits row after row: the copy comes from one
// snapshot, so it neither starts again at each commit (and never ends while they go on) nor mixes two states;
// it holds every row committed before it began.
TEST(RecordBackupTest, ACopyOfManyStepsWhileRowsAreCommittedIsOneSnapshot) {
    TSandbox sandbox;
    const std::string source = sandbox.File("Client.db");
    auto writer = OpenRecordStoreSession("sqlite3", source);
    *writer << "create table T_IssueCardRecord(RegisterId TEXT, GuestName TEXT)";
    {
        // About 4 MB: some 16 steps of the copy.
        soci::transaction fill(*writer);
        const std::string name(1000, 'g');
        for (int i = 0; i < 4000; ++i)
            *writer << "insert into T_IssueCardRecord values('before', :Name)", soci::use(name, "Name");
        fill.commit();
    }
    // Commits as fast as they come (no sync), at most this many: a copy that started again at each would end
    // only once they stop, and then hold every one.
    constexpr int MostCommits = 200000;
    *writer << "PRAGMA synchronous=OFF";
    std::atomic<bool> done{false};
    std::atomic<int> during{0};
    std::thread commits([&] {
        while (!done && during < MostCommits) {
            *writer << "insert into T_IssueCardRecord values('during', 'x')";
            ++during;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return during > 0; }));
    const std::string copy = sandbox.File("copy.db");
    uint64_t bytes = 0;
    EXPECT_NO_THROW(bytes = BackUpSqliteFile(source, copy));
    done = true;
    commits.join();
    EXPECT_GT(bytes, 4000000u);

    soci::session check("sqlite3", SqliteConnectString(copy, true));
    std::string integrity;
    check << "PRAGMA integrity_check", soci::into(integrity);
    EXPECT_EQ(integrity, "ok");
    int before = 0, after = 0;
    check << "select count(*) from T_IssueCardRecord where RegisterId = 'before'", soci::into(before);
    check << "select count(*) from T_IssueCardRecord where RegisterId = 'during'", soci::into(after);
    EXPECT_EQ(before, 4000);
    EXPECT_LT(after, during.load());
}
