#pragma once

#include "doorlock/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <soci/soci.h>

#include <memory>
#include <string>
#include <vector>

// A store on Client.db in a sandbox, a log file of its own, and a second SOCI session to look at the
// database file the way another program would.
class TRecordStoreTest : public ::testing::Test {
protected:
    TRecordStoreTest() : m_log(std::make_unique<TLogFile>(m_sandbox.File("store.LOG"))) {
        LogFile = m_log.get();
    }

    std::string DbPath() const { return m_sandbox.File("Client.db"); }
    const TSandbox& Sandbox() const { return m_sandbox; }

    std::unique_ptr<TDoorlockRecordStore> OpenStore(const std::string& path) {
        auto store = std::make_unique<TDoorlockRecordStore>("sqlite3", path);
        store->OpenDatabase();
        return store;
    }
    std::unique_ptr<TDoorlockRecordStore> OpenStore() { return OpenStore(DbPath()); }

    std::unique_ptr<soci::session> Raw() const {
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
    TGlobalsGuard m_globals;
    std::unique_ptr<TLogFile> m_log;
};
