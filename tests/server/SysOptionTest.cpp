#include "server/SysOptionUnit.h"

#include "platform/SysUtilsUnit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

TEST(SysOptionTest, DefaultsWithoutAFileAndTheFileIsNotCreated) {
    TSandbox sandbox;
    TSysOption options(sandbox.File("Option.ini"));
    options.LoadOption();
    EXPECT_EQ(options.DoorlockPortNo, 8886);
    EXPECT_EQ(options.PolicePortNo, 8885);
    EXPECT_EQ(options.MemberPortNo, 8883);
    EXPECT_EQ(options.ScanPortNo, 8881);
    EXPECT_EQ(options.Password, "mirvek");
    EXPECT_EQ(options.ListenIpv4(), 0u);
    EXPECT_TRUE(options.AllowedClientRanges().empty());
    EXPECT_EQ(options.MaxConnections, 1024);
    EXPECT_EQ(options.MaxConnectionsPerClient, 64);
    EXPECT_EQ(options.RequestTimeout, 30);
    // The described log: one file per start, kept for ever; a floor under it all the same.
    EXPECT_FALSE(options.DailyLogFiles());
    EXPECT_EQ(options.LogRetentionDays, 0);
    EXPECT_EQ(options.LogMinFreeMB, 100);
    EXPECT_FALSE(std::filesystem::exists(sandbox.File("Option.ini")));
}

TEST(SysOptionTest, ValuesAsWritten) {
    struct TCase {
        std::string line;
        int32_t port;
    };
    for (const TCase& c : {TCase{"DoorlockPortNo=0x22B6", 8886}, TCase{"doorlockportno = 9000 ", 9000},
                           TCase{"DoorlockPortNo=abc", 8886}, TCase{"DoorlockPortNo=$1F90", 8080},
                           TCase{"DoorlockPortNo=\"7000\"", 7000}}) {
        TSandbox sandbox;
        WriteFileBytes(sandbox.File("Option.ini"), "[sysoption]\r\n" + c.line + "\r\n");
        TSysOption options(sandbox.File("Option.ini"));
        options.LoadOption();
        EXPECT_EQ(options.DoorlockPortNo, c.port) << c.line;
    }
}

TEST(SysOptionTest, SaveWritesTheFiveKeysInOrderAndKeepsOtherLines) {
    TSandbox sandbox;
    const std::string file = sandbox.File("Option.ini");
    WriteFileBytes(file, "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\n");
    TSysOption options(file);
    options.LoadOption();
    options.Password = "";
    options.SaveOption();
    EXPECT_EQ(ReadFileBytes(file), "; front desk 2\r\n[DoorlockOption]\r\nPortName=COM3\r\n"
                                   "[SysOption]\r\nPassword=\r\nDoorlockPortNo=8886\r\nPolicePortNo=8885\r\n"
                                   "MemberPortNo=8883\r\nScanPortNo=8881\r\n");
    TSysOption reread(file);
    reread.LoadOption();
    EXPECT_EQ(reread.Password, ""); // an empty password stays empty, it does not fall back to the default
}

TEST(SysOptionTest, PasswordChangeKeepsTheAccessLinesAsWritten) {
    TSandbox sandbox;
    const std::string file = sandbox.File("Option.ini");
    const std::string access = "ListenAddress=\"10.0.0.2\"\r\nAllowedClients=10.0.0.0/24 , 10.0.1.7\r\n"
                               "MaxConnections=0x40\r\nMaxConnectionsPerClient=8\r\nRequestTimeout="
                               "0\r\nTlsCertificate=tls\\host.pem\r\nTlsPrivateKey=host.key\r\n"
                               "TlsClientCA=C:\\Hotel\\ca.pem\r\n";
    WriteFileBytes(file, "[SysOption]\r\n" + access);
    TSysOption options(file);
    options.LoadOption();
    EXPECT_EQ(options.MaxConnections, 64);
    EXPECT_EQ(options.MaxConnectionsPerClient, 8);
    EXPECT_EQ(options.RequestTimeout, 0);
    EXPECT_EQ(options.TlsCertificate, "tls\\host.pem");
    EXPECT_EQ(options.TlsPrivateKey, "host.key");
    EXPECT_EQ(options.TlsClientCA, "C:\\Hotel\\ca.pem");
    options.Password = "new";
    options.SaveOption();
    EXPECT_EQ(ReadFileBytes(file).substr(0, 13 + access.size()), "[SysOption]\r\n" + access);
}

// Addresses and ranges as an administrator may write them: what each lets in, or the entry its error names.
TEST(SysOptionTest, AccessKeysParseOrNameTheBadEntry) {
    struct TCase {
        std::string allowed;
        std::vector<std::string> in, out; // client addresses
        const char* error = nullptr;      // the entry named; null: parses
    };
    const TCase cases[] = {
        {"", {"1.2.3.4"}, {}},
        {"  ", {"1.2.3.4"}, {}},
        {"192.168.1.20, 10.0.0.0/24",
         {"192.168.1.20", "10.0.0.0", "10.0.0.255"},
         {"192.168.1.21", "10.0.1.0", "9.255.255.255"}},
        {"10.1.2.3/8", {"10.200.0.1"}, {"11.0.0.0"}}, // host bits ignored
        {"0.0.0.0/0", {"255.255.255.255", "0.0.0.0"}, {}},
        {"128.0.0.0/1", {"128.0.0.0", "255.255.255.255"}, {"127.255.255.255"}},
        {"10.0.0.7/31", {"10.0.0.6", "10.0.0.7"}, {"10.0.0.5", "10.0.0.8"}},
        {"127.0.0.2/32,127.0.0.3", {"127.0.0.2", "127.0.0.3"}, {"127.0.0.1"}},
        {"\t10.0.0.1\t,10.0.0.2 ", {"10.0.0.1", "10.0.0.2"}, {"10.0.0.3"}},
        {"10.0.0.0/33", {}, {}, "10.0.0.0/33"},
        {"10.0.0.0/", {}, {}, "10.0.0.0/"},
        {"10.0.0.0/08", {}, {}, "10.0.0.0/08"},
        {"10.0.0.0/-1", {}, {}, "10.0.0.0/-1"},
        {"10.0.0.0/ 8", {}, {}, "10.0.0.0/ 8"},
        {"::ffff:10.0.0.1", {}, {}, "::ffff:10.0.0.1"},
        {"192.168.1", {}, {}, "192.168.1"},
        {"1.2.3.4, 192.168.1.256", {}, {}, "192.168.1.256"},
        {"192.168.01.2", {}, {}, "192.168.01.2"},
        {"1.2.3.4.5", {}, {}, "1.2.3.4.5"},
        {"localhost", {}, {}, "localhost"},
        {"10.0.0.1 10.0.0.2", {}, {}, "10.0.0.1 10.0.0.2"},
        // An empty entry names the whole list, so that the administrator can find it.
        {"10.0.0.1,", {}, {}, "10.0.0.1,"},
        {" , ", {}, {}, ","},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.allowed);
        TSysOption options("unused");
        options.AllowedClients = c.allowed;
        if (c.error != nullptr) {
            try {
                options.AllowedClientRanges();
                ADD_FAILURE() << "parsed";
            } catch (const Exception& e) {
                EXPECT_EQ(std::string(e.what()),
                          "'" + std::string(c.error) +
                              "' is not a valid IPv4 address or range (AllowedClients)");
            }
            continue;
        }
        const std::vector<TIpv4Range> ranges = options.AllowedClientRanges();
        auto allowed = [&](const std::string& text) {
            TIpv4 address = 0;
            EXPECT_TRUE(ParseIpv4(text, address)) << text;
            return ranges.empty() || std::any_of(ranges.begin(), ranges.end(),
                                                 [&](const TIpv4Range& r) { return r.Contains(address); });
        };
        for (const std::string& address : c.in)
            EXPECT_TRUE(allowed(address)) << address;
        for (const std::string& address : c.out)
            EXPECT_FALSE(allowed(address)) << address;
    }

    for (const auto& [rollover, daily] : {std::pair<const char*, bool>{"Daily", true},
                                          {" daily ", true},
                                          {"None", false},
                                          {"", false},
                                          {"NONE", false}}) {
        TSysOption options("unused");
        options.LogRollover = rollover;
        EXPECT_EQ(options.DailyLogFiles(), daily) << rollover;
    }
    TSysOption weekly("unused");
    weekly.LogRollover = "Weekly";
    EXPECT_THROW(
        {
            try {
                weekly.DailyLogFiles();
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), "'Weekly' is not a valid log rollover, Daily or None (LogRollover)");
                throw;
            }
        },
        Exception);

    TSysOption options("unused");
    options.ListenAddress = " 127.0.0.2 ";
    EXPECT_EQ(Ipv4Text(options.ListenIpv4()), "127.0.0.2");
    options.ListenAddress = "localhost";
    EXPECT_THROW(options.ListenIpv4(), Exception);
}

TEST(SysOptionTest, MonitorKeysAreOffByDefaultAndLoopbackOnly) {
    TSysOption options("unused");
    TIpv4 address = 0;
    int port = 0;
    EXPECT_FALSE(options.MonitorEndpoint(address, port));
    // Unset: this computer only; set: the list as written, in the allow-list's form and messages.
    for (const auto& [list, client, allowed] :
         {std::tuple<const char*, const char*, bool>{"", "127.0.0.9", true},
          {"", "10.0.0.1", false},
          {"10.0.0.0/24", "10.0.0.1", true},
          {"10.0.0.0/24", "127.0.0.1", false}}) {
        options.MonitorClients = list;
        const std::vector<TIpv4Range> ranges = options.MonitorClientRanges();
        TIpv4 peer = 0;
        ASSERT_TRUE(ParseIpv4(client, peer));
        EXPECT_EQ(
            std::any_of(ranges.begin(), ranges.end(), [&](const TIpv4Range& r) { return r.Contains(peer); }),
            allowed)
            << list << " " << client;
    }
    options.MonitorClients = "10.0.0.1,";
    try {
        options.MonitorClientRanges();
        ADD_FAILURE() << "parsed";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "'10.0.0.1,' is not a valid IPv4 address or range (MonitorClients)");
    }

    struct TCase {
        const char* text;
        const char* address; // null: does not parse
        int port;
    };
    const TCase cases[] = {
        {" 127.0.0.1:9886 ", "127.0.0.1", 9886},
        {"0.0.0.0:1", "0.0.0.0", 1},
        {"10.0.0.2:65535", "10.0.0.2", 65535},
        {"127.0.0.1", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {":9886", nullptr, 0},
        {"localhost:9886", nullptr, 0},
        {"127.0.0.1:98a6", nullptr, 0},
        {"127.0.0.1:-1", nullptr, 0},
        {"127.0.0.1:1234567", nullptr, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text);
        options.MonitorAddress = c.text;
        if (c.address == nullptr) {
            try {
                options.MonitorEndpoint(address, port);
                ADD_FAILURE() << "parsed";
            } catch (const Exception& e) {
                EXPECT_EQ(std::string(e.what()),
                          "'" + Trim(c.text) + "' is not a valid IPv4 address and port (MonitorAddress)");
            }
            continue;
        }
        ASSERT_TRUE(options.MonitorEndpoint(address, port));
        EXPECT_EQ(Ipv4Text(address), c.address);
        EXPECT_EQ(port, c.port);
    }
}

TEST(SysOptionTest, SaveFailureNamesTheFile) {
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

TEST(SysOptionTest, PasswordRule) {
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
