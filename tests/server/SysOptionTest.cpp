#include "server/SysOptionUnit.h"

#include "doorlock/OptionUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(SysOption, DefaultsWithoutAFileAndTheFileIsNotCreated) {
    TSandbox sandbox;
    TSysOption options(sandbox.File("Option.ini"));
    options.LoadOption();
    EXPECT_EQ(options.DoorlockPortNo, 8886);
    EXPECT_EQ(options.PolicePortNo, 8885);
    EXPECT_EQ(options.MemberPortNo, 8883);
    EXPECT_EQ(options.ScanPortNo, 8881);
    EXPECT_EQ(options.Password, "mirvek");
    EXPECT_EQ(options.DelayMinutes, 0);
    EXPECT_EQ(options.DelayMinutes2, 0);
    EXPECT_FALSE(options.UseNativeDoorlockDb);
    EXPECT_FALSE(options.SaveDoorlockRecord);
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("Option.ini")));
}

TEST(SysOption, ValuesAsWritten) {
    struct TCase {
        std::string line;
        int32_t port;
    };
    for (const TCase& c : {TCase{"DoorlockPortNo=0x22B6", 8886}, TCase{"doorlockportno = 9000 ", 9000},
                           TCase{"DoorlockPortNo=abc", 8886}, TCase{"DoorlockPortNo=$1F90", 8080},
                           TCase{"DoorlockPortNo=\"7000\"", 7000}}) {
        TSandbox sandbox;
        WriteFileBytes(sandbox.File("Option.ini"),
                       "[sysoption]\r\n" + c.line +
                           "\r\n[DoorlockOption]\r\n"
                           "UseNativeDoorlockDb=1\r\nSaveDoorlockRecord=x\r\nDelayMinutes=-5\r\n");
        TSysOption options(sandbox.File("Option.ini"));
        options.LoadOption();
        EXPECT_EQ(options.DoorlockPortNo, c.port) << c.line;
        EXPECT_TRUE(options.UseNativeDoorlockDb);
        EXPECT_FALSE(options.SaveDoorlockRecord);
        EXPECT_EQ(options.DelayMinutes, -5);
    }
}

TEST(SysOption, SaveWritesTheNineKeysInOrderAndKeepsOtherLines) {
    TSandbox sandbox;
    const std::string file = sandbox.File("Option.ini");
    WriteFileBytes(file, "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\n");
    TSysOption options(file);
    options.LoadOption();
    options.Password = "";
    options.SaveOption();
    EXPECT_EQ(ReadFileBytes(file), "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\nDelayMinutes=0\r\n"
                                   "DelayMinutes2=0\r\nUseNativeDoorlockDb=0\r\nSaveDoorlockRecord=0\r\n"
                                   "[SysOption]\r\nPassword=\r\nDoorlockPortNo=8886\r\nPolicePortNo=8885\r\n"
                                   "MemberPortNo=8883\r\nScanPortNo=8881\r\n");
    TSysOption reread(file);
    reread.LoadOption();
    EXPECT_EQ(reread.Password, ""); // an empty password stays empty, it does not fall back to the default
}

TEST(SysOption, SaveFailureNamesTheFile) {
    TSandbox sandbox;
    const std::string file = sandbox.File("missing-dir/Option.ini");
    TSysOption options(file);
    try {
        options.SaveOption();
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + file);
    }
}

TEST(SysOption, PasswordRule) {
    TSysOption options("unused");
    options.Password = "Se cret";
    struct TCase {
        std::string entered;
        bool accepted;
    };
    for (const TCase& c : {TCase{"Se cret", true}, TCase{"  Se cret\t", true}, TCase{"\r\nSe cret ", true},
                           TCase{"se cret", false}, TCase{"Secret", false}, TCase{"", false}}) {
        EXPECT_EQ(options.PasswordMatches(c.entered), c.accepted) << "'" << c.entered << "'";
    }
    options.Password = "";
    EXPECT_TRUE(options.PasswordMatches("   "));
}

TEST(SysOption, DelayMinutesIsSharedWithTheDeviceOptions) {
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
