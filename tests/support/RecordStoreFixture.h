#pragma once

#include "records/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"
#include "support/PostgresSchema.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <soci/soci.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class TStoreKind { Sqlite, Postgres };

// A store on Client.db in a sandbox or in a schema of its own on the test PostgreSQL server, a log file of
// its own, and a second SOCI session to look at the database the way another program would. The test's
// parameter says which kind of store.
class TRecordStoreFixture : public ::testing::Test {
protected:
    TRecordStoreFixture() : m_log(std::make_unique<TLogFile>(m_sandbox.File("store.LOG"))) {
        LogFile = m_log.get();
    }

    virtual TStoreKind Kind() const = 0;

    void SetUp() override {
        if (OnPostgres()) {
            if (!TPostgresSchema::Available())
                GTEST_SKIP() << TPostgresSchema::Missing();
            m_schema.emplace();
        }
    }

    bool OnPostgres() const { return Kind() == TStoreKind::Postgres; }
    std::string Backend() const { return OnPostgres() ? "postgresql" : "sqlite3"; }
    // What the store connects to: the SQLite file or the server's settings.
    std::string Target() const { return OnPostgres() ? m_schema->ConnectText() : DbPath(); }
    std::string DbPath() const { return m_sandbox.File("Client.db"); }
    std::string SchemaName() const { return m_schema->Name(); }
    const TSandbox& Sandbox() const { return m_sandbox; }

    std::unique_ptr<TDoorlockRecordStore> OpenStore(const std::string& target) {
        auto store = std::make_unique<TDoorlockRecordStore>(Backend(), target);
        // Threads of a test take turns on the store's session; on a loaded machine a turn can take longer
        // than the half second an issue waits for it. The tests of that wait set their own.
        store->SetOperationWait(std::chrono::seconds(60));
        store->OpenDatabase();
        return store;
    }
    std::unique_ptr<TDoorlockRecordStore> OpenStore() { return OpenStore(Target()); }

    std::unique_ptr<soci::session> Raw() const {
        if (OnPostgres())
            return std::make_unique<soci::session>(
                "postgresql", ParsePostgresConninfo(m_schema->ConnectText()).KeywordForm);
        return std::make_unique<soci::session>("sqlite3", "db=\"" + DbPath() + "\" timeout=10");
    }

    // The messages written so far, without the time stamp in front; a message's continuation lines stay
    // with it, joined by CR LF.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const TLogLine& line : ParseLog(ReadFileBytes(m_log->FileName()))) {
            if (line.Prefixed || messages.empty())
                messages.push_back(line.Text);
            else
                messages.back() += "\r\n" + line.Text;
        }
        return messages;
    }

private:
    TSandbox m_sandbox;
    TRestored<TLogFile*> m_globals{LogFile};
    std::unique_ptr<TLogFile> m_log;
    std::optional<TPostgresSchema> m_schema;
};

class TRecordStoreTest : public TRecordStoreFixture, public ::testing::WithParamInterface<TStoreKind> {
protected:
    TStoreKind Kind() const override { return GetParam(); }
};

// The cases that only one kind of store has.
class TSqliteRecordStoreTest : public TRecordStoreTest {};
class TPostgresRecordStoreTest : public TRecordStoreTest {};

std::string StoreKindName(const ::testing::TestParamInfo<TStoreKind>& info);
