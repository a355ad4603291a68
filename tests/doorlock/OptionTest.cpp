#include "doorlock/OptionUnit.h"
#include "platform/IniFileUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/SysOptionUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(DoorlockOption, DefaultsWithoutFile) {
    TSandbox sandbox;
    TOption option(sandbox.File("Option.ini"));
    option.PortName = "COM4";
    option.DelayMinutes = 9;
    option.EncoderLibrary = "x";
    option.Database = "x";
    option.LoadOption();
    EXPECT_EQ(option.PortName, "COM1");
    EXPECT_EQ(option.DelayMinutes, 1);
    EXPECT_EQ(option.EncoderLibrary, "");
    EXPECT_EQ(option.Database, "");
    EXPECT_EQ(option.PortIndex(), 0);
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("Option.ini")));
}

TEST(DoorlockOption, ReadsItsSection) {
    TSandbox sandbox;
    WriteFileBytes(sandbox.File("Option.ini"),
                   "[Other]\r\nPortName=COM2\r\n[DoorlockOption]\r\nPortName=COM3\r\n"
                   "DelayMinutes=5\r\nEncoderLibrary=/opt/enc/libcardenc.so\r\n"
                   "Database=postgresql://desk@db.hotel/rooms\r\n");
    TOption option(sandbox.File("Option.ini"));
    option.LoadOption();
    EXPECT_EQ(option.PortName, "COM3");
    EXPECT_EQ(option.DelayMinutes, 5);
    EXPECT_EQ(option.EncoderLibrary, "/opt/enc/libcardenc.so");
    EXPECT_EQ(option.Database, "postgresql://desk@db.hotel/rooms");
    EXPECT_EQ(option.PortIndex(), 2);

    WriteFileBytes(sandbox.File("Option.ini"), "[DoorlockOption]\r\nDelayMinutes=1.5\r\n");
    option.LoadOption();
    EXPECT_EQ(option.DelayMinutes, 1);
}

TEST(DoorlockOption, PortIndexOfNames) {
    const std::pair<const char*, int32_t> cases[] = {
        {"COM1", 0},  {"COM2", 1},  {"COM3", 2},   {"COM4", 3},   {"COM5", 4}, {"COM6", 5}, {"COM7", -1},
        {"COM0", -1}, {"com1", -1}, {"COM10", -1}, {" COM1", -1}, {"", -1},    {"COM", -1},
    };
    TOption option("Option.ini");
    for (const auto& [name, index] : cases) {
        option.PortName = name;
        EXPECT_EQ(option.PortIndex(), index) << name;
    }
}

TEST(DoorlockOption, SaveWritesPortAndDelayOnly) {
    TSandbox sandbox;
    std::string file = sandbox.File("Option.ini");
    WriteFileBytes(file,
                   "[DoorlockOption]\r\nDelayMinutes2=3\r\nEncoderLibrary=lib.so\r\nDatabase=host=db\r\n");
    TOption option(file);
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
}

TEST(DoorlockOption, SaveRaisesWhenTheFileCannotBeWritten) {
    TSandbox sandbox;
    TOption option(sandbox.File("missing/Option.ini"));
    EXPECT_THROW(option.SaveOption(), Exception);
}

// Here because the server's own tests cannot see the device options.
TEST(DoorlockOption, DelayMinutesIsSharedWithTheSystemOptions) {
    TSandbox sandbox;
    const std::string file = sandbox.File("Option.ini");
    TOption device(file);
    device.LoadOption();
    EXPECT_EQ(device.DelayMinutes, 1);
    device.SaveOption(); // writes DelayMinutes=1 where the key was missing
    TSysOption options(file);
    options.LoadOption();
    EXPECT_EQ(options.DelayMinutes, 1);
}
