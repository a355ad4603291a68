#include "doorlock/DoorlockOptionUnit.h"
#include "platform/IniFileUnit.h"
#include "platform/SysUtilsUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(DoorlockOptionTest, ReadsItsSectionAndTheDefaultsOfMissingKeys) {
    struct TCase {
        const char* file; // nullptr: no file
        TDoorlockOption expected;
    };
    auto expect = [](const char* port, int32_t delay, int32_t delay2, bool nativeDb, bool saveRecord,
                     const char* library, const char* database, int32_t retentionDays = 0,
                     const char* retention = "Delete") {
        TDoorlockOption option("");
        option.RecordRetentionDays = retentionDays;
        option.RecordRetention = retention;
        option.PortName = port;
        option.DelayMinutes = delay;
        option.DelayMinutes2 = delay2;
        option.UseNativeDoorlockDb = nativeDb;
        option.SaveDoorlockRecord = saveRecord;
        option.EncoderLibrary = library;
        option.Database = database;
        return option;
    };
    const TCase cases[] = {
        {nullptr, expect("COM1", 0, 0, false, false, "", "")},
        {"[Other]\r\nPortName=COM2\r\n[DoorlockOption]\r\nPortName=COM3\r\nDelayMinutes=-5\r\n"
         "EncoderLibrary=/opt/enc/libcardenc.so\r\nDatabase=postgresql://desk@db.hotel/rooms\r\n"
         "DelayMinutes2=7\r\nUseNativeDoorlockDb=1\r\nSaveDoorlockRecord=x\r\nRecordRetentionDays=180\r\n"
         "RecordRetention=anonymise\r\n",
         expect("COM3", -5, 7, true, false, "/opt/enc/libcardenc.so", "postgresql://desk@db.hotel/rooms", 180,
                "anonymise")},
        {"[DoorlockOption]\r\nDelayMinutes=1.5\r\n", expect("COM1", 0, 0, false, false, "", "")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.file != nullptr ? c.file : "no file");
        TSandbox sandbox;
        if (c.file != nullptr)
            WriteFileBytes(sandbox.File("Option.ini"), c.file);
        // Every field is read, whatever it held.
        TDoorlockOption option = expect("COM4", 9, 9, true, true, "x", "x", 9, "x");
        option.FileName = sandbox.File("Option.ini");
        option.LoadOption();
        const TDoorlockOption& e = c.expected;
        EXPECT_EQ(option.PortName, e.PortName);
        EXPECT_EQ(option.DelayMinutes, e.DelayMinutes);
        EXPECT_EQ(option.DelayMinutes2, e.DelayMinutes2);
        EXPECT_EQ(option.UseNativeDoorlockDb, e.UseNativeDoorlockDb);
        EXPECT_EQ(option.SaveDoorlockRecord, e.SaveDoorlockRecord);
        EXPECT_EQ(option.EncoderLibrary, e.EncoderLibrary);
        EXPECT_EQ(option.Database, e.Database);
        EXPECT_EQ(option.RecordRetentionDays, e.RecordRetentionDays);
        EXPECT_EQ(option.RecordRetention, e.RecordRetention);
        EXPECT_EQ(c.file != nullptr, std::filesystem::exists(sandbox.File("Option.ini")));
    }
}

TEST(DoorlockOptionTest, PortIndexOfNames) {
    const std::pair<const char*, int32_t> cases[] = {
        {"COM1", 0},  {"COM2", 1},  {"COM3", 2},   {"COM4", 3},   {"COM5", 4}, {"COM6", 5}, {"COM7", -1},
        {"COM0", -1}, {"com1", -1}, {"COM10", -1}, {" COM1", -1}, {"", -1},    {"COM", -1},
    };
    TDoorlockOption option("Option.ini");
    for (const auto& [name, index] : cases) {
        option.PortName = name;
        EXPECT_EQ(option.PortIndex(), index) << name;
    }
}

TEST(DoorlockOptionTest, SaveWritesPortAndDelayOnly) {
    TSandbox sandbox;
    std::string file = sandbox.File("Option.ini");
    WriteFileBytes(file,
                   "[DoorlockOption]\r\nDelayMinutes2=3\r\nEncoderLibrary=lib.so\r\nDatabase=host=db\r\n");
    TDoorlockOption option(file);
    option.LoadOption();
    option.PortName = "";
    option.EncoderLibrary = "other.so";
    option.Database = "";
    option.SaveOption();

    TIniFile ini(file);
    EXPECT_EQ(ini.ReadString("DoorlockOption", "PortName", "missing"), "");
    EXPECT_EQ(ini.ReadString("DoorlockOption", "DelayMinutes", "missing"), "1");
    EXPECT_EQ(ini.ReadString("DoorlockOption", "EncoderLibrary", ""), "lib.so");
    EXPECT_EQ(ini.ReadString("DoorlockOption", "Database", ""), "host=db");
    EXPECT_EQ(ini.ReadInteger("DoorlockOption", "DelayMinutes2", 0), 3);
    EXPECT_EQ(option.DelayMinutes, 0); // issuing keeps the value it started with
    TDoorlockOption next(file);
    next.LoadOption();
    EXPECT_EQ(next.DelayMinutes, 1);
}

TEST(DoorlockOptionTest, PasswordChangeWritesTheIssueKeysInOrderAsLoaded) {
    TSandbox sandbox;
    const std::string file = sandbox.File("Option.ini");
    WriteFileBytes(file, "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\n");
    TDoorlockOption option(file);
    option.LoadOption();
    option.SaveOption();      // the dialog's DelayMinutes=1 ...
    option.SaveIssueOption(); // ... is overwritten with the loaded 0
    EXPECT_EQ(ReadFileBytes(file), "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\nDelayMinutes=0\r\n"
                                   "DelayMinutes2=0\r\nUseNativeDoorlockDb=0\r\nSaveDoorlockRecord=0\r\n");
}

TEST(DoorlockOptionTest, SavesRaiseWhenTheFileCannotBeWritten) {
    TSandbox sandbox;
    TDoorlockOption option(sandbox.File("missing/Option.ini"));
    EXPECT_THROW(option.SaveOption(), Exception);
    EXPECT_THROW(option.SaveIssueOption(), Exception);
}
