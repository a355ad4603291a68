#include "DoorlockTestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

bool Issue(TIcDoorlock& device, const std::string& roomNo, TDateTime checkOut, int64_t& cardNo,
           bool isCopy = false) {
    TDateTime checkIn = EncodeDateTime(2024, 12, 30, 12, 0);
    return device.IssueCard("R1", "00", "01", roomNo, "Guest", checkIn, checkIn, checkOut, checkOut, isCopy,
                            cardNo);
}

struct TCardCase {
    const char* roomNo;
    TDateTime checkOut;
    std::string record;
    int64_t cardNo;
};

} // namespace

TEST(IcDoorlockCardTest, WritesTheRecordAndNumbersTheCard) {
    const TCardCase cases[] = {
        {"0816", EncodeDateTime(2024, 12, 31, 14, 30), Bytes({0x11, 0x08, 0x16, 0x12, 0x31, 0x14}),
         816123114},
        {"0816", EncodeDateTime(2024, 12, 31, 14, 59), Bytes({0x11, 0x08, 0x16, 0x12, 0x31, 0x14}),
         816123114},
        {"0816", EncodeDateTime(2025, 1, 5, 9, 5), Bytes({0x11, 0x08, 0x16, 0x01, 0x05, 0x09}), 816010509},
        {"0000", EncodeDateTime(2025, 1, 1, 0, 0), Bytes({0x11, 0x00, 0x00, 0x01, 0x01, 0x00}), 10100},
        {"ABCD", EncodeDateTime(2025, 6, 7, 23, 0), Bytes({0x11, 0xAB, 0xCD, 0x06, 0x07, 0x23}),
         10111213060723},
        {"abcd", EncodeDateTime(2025, 6, 7, 23, 0), Bytes({0x11, 0xAB, 0xCD, 0x06, 0x07, 0x23}),
         10111213060723},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.roomNo);
        TDeviceFixture f;
        f.PutCard(BlankCard());
        ASSERT_TRUE(f.device.OpenPort());
        int64_t issued = -5;
        ASSERT_TRUE(Issue(f.device, c.roomNo, c.checkOut, issued));
        EXPECT_EQ(issued, c.cardNo);
        EXPECT_EQ(f.Card(), c.record + std::string(250, '\xFF'));
        int64_t read = -5;
        ASSERT_TRUE(f.device.ReadCard(read));
        EXPECT_EQ(read, c.cardNo);
    }
}

TEST(IcDoorlockCardTest, CardNumberOfRecords) {
    const std::pair<std::array<uint8_t, 6>, int64_t> cases[] = {
        {{0x11, 0x08, 0x16, 0x12, 0x31, 0x14}, 816123114},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 15151515},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0},
        // Digits up to the first letter of the date part make the number.
        {{0x11, 0x08, 0x16, 0x1A, 0x31, 0x14}, 8161},
        {{0x11, 0x99, 0x99, 0x12, 0x31, 0x23}, 9999123123},
    };
    for (const auto& [record, number] : cases)
        EXPECT_EQ(TIcDoorlock::CardNumber(record), number);
}

TEST(IcDoorlockCardTest, LogsEachStepInOrder) {
    TDeviceFixture f;
    f.PutCard(BlankCard());
    int64_t cardNo = 0;
    ASSERT_TRUE(f.device.OpenPort());
    ASSERT_TRUE(Issue(f.device, "0816", EncodeDateTime(2024, 12, 31, 14, 30), cardNo));
    ASSERT_TRUE(f.device.ReadCard(cardNo));
    ASSERT_TRUE(f.device.EraseCard());
    ASSERT_TRUE(f.device.ReadCard(cardNo));
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{
                                Gbk("串口打开成功: COM1"),
                                "s110816123114",
                                Gbk("发卡成功,卡号为:816123114"),
                                Gbk("读卡成功,卡号为:816123114"),
                                Gbk("销卡成功"),
                                Gbk("读卡成功,卡号为:15151515"),
                            }));
}

TEST(IcDoorlockCardTest, CopyWritesTheSameCard) {
    TDeviceFixture f;
    f.PutCard(BlankCard());
    ASSERT_TRUE(f.device.OpenPort());
    int64_t first = 0;
    int64_t copy = 0;
    ASSERT_TRUE(Issue(f.device, "0816", EncodeDateTime(2024, 12, 31, 14, 30), first, false));
    std::string firstCard = f.Card();
    f.PutCard(BlankCard());
    // A year later at the same month, day and hour the card is the same too.
    ASSERT_TRUE(Issue(f.device, "0816", EncodeDateTime(2025, 12, 31, 14, 5), copy, true));
    EXPECT_EQ(copy, first);
    EXPECT_EQ(f.Card(), firstCard);
}

TEST(IcDoorlockCardTest, ZeroCardReadsAsZero) {
    TDeviceFixture f;
    f.PutCard(std::string(256, '\0'));
    ASSERT_TRUE(f.device.OpenPort());
    int64_t cardNo = 7;
    ASSERT_TRUE(f.device.ReadCard(cardNo));
    EXPECT_EQ(cardNo, 0);
    EXPECT_EQ(f.LogLines().back(), Gbk("读卡成功,卡号为:0"));
}

TEST(IcDoorlockCardTest, RefusesRoomsThatAreNotFourHexDigits) {
    for (const char* roomNo : {"01", "081", "08161", "08G6", "", "08 6"}) {
        SCOPED_TRACE(roomNo);
        TDeviceFixture f;
        f.PutCard(BlankCard());
        ASSERT_TRUE(f.device.OpenPort());
        int64_t cardNo = 42;
        try {
            Issue(f.device, roomNo, EncodeDateTime(2024, 12, 31, 14, 30), cardNo);
            ADD_FAILURE() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(roomNo) + "' is not a valid room number");
        }
        EXPECT_EQ(cardNo, 42);
        EXPECT_EQ(f.Card(), BlankCard());
        auto lines = f.LogLines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1], "s11" + std::string(roomNo) + "123114");
    }
}

TEST(IcDoorlockCardTest, NoOpenConnectionFailsWithoutTouchingTheCard) {
    enum { NeverOpened, Closed, OpenFailed };
    for (int state : {NeverOpened, Closed, OpenFailed}) {
        SCOPED_TRACE(state);
        TDeviceFixture f;
        f.PutCard(BlankCard());
        if (state == Closed) {
            ASSERT_TRUE(f.device.OpenPort());
            EXPECT_TRUE(f.device.ClosePort());
        } else if (state == OpenFailed) {
            f.option.PortName = "COM7";
            ASSERT_EQ(f.option.PortIndex(), -1);
            EXPECT_FALSE(f.device.OpenPort());
        }
        auto before = f.LogLines().size();
        int64_t cardNo = 42;
        EXPECT_FALSE(Issue(f.device, "0816", EncodeDateTime(2024, 12, 31, 14, 30), cardNo));
        EXPECT_FALSE(f.device.ReadCard(cardNo));
        EXPECT_FALSE(f.device.EraseCard());
        f.device.Beep();
        EXPECT_TRUE(f.device.ClosePort());
        EXPECT_EQ(cardNo, 42);
        EXPECT_EQ(f.Card(), BlankCard());
        auto lines = f.LogLines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
                  (std::vector<std::string>{"s110816123114", Gbk("发卡失败-1"), Gbk("读卡失败-1"),
                                            Gbk("销卡失败-1")}));
    }
}

TEST(IcDoorlockCardTest, OpenUsesThePortNamedAtEachCall) {
    TDeviceFixture f;
    f.option.PortName = "COM6";
    EXPECT_TRUE(f.device.OpenPort());
    f.option.PortName = "com2";
    EXPECT_FALSE(f.device.OpenPort());
    Option = nullptr;
    EXPECT_FALSE(f.device.OpenPort());
    EXPECT_EQ(f.LogLines(), (std::vector<std::string>{Gbk("串口打开成功: COM6"), Gbk("串口打开失败: com2"),
                                                      Gbk("串口打开失败: ")}));
}

TEST(IcDoorlockCardTest, NoCardOnTheEncoder) {
    TDeviceFixture f;
    ASSERT_TRUE(f.device.OpenPort());
    int64_t cardNo = 42;
    EXPECT_FALSE(f.device.ReadCard(cardNo));
    EXPECT_FALSE(Issue(f.device, "0816", EncodeDateTime(2024, 12, 31, 14, 30), cardNo));
    EXPECT_FALSE(f.device.EraseCard());
    EXPECT_EQ(cardNo, 42);
    auto status = IntToStr(SimStatusNoCard);
    auto lines = f.LogLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], Gbk("读卡失败") + status);
    EXPECT_EQ(lines[3], Gbk("发卡失败") + status);
    EXPECT_EQ(lines[4], Gbk("销卡失败") + status);
}

TEST(IcDoorlockCardTest, OverlappingCallsKeepTheirOwnRecords) {
    TDeviceFixture f;
    f.PutCard(BlankCard());
    ASSERT_TRUE(f.device.OpenPort());
    constexpr int Threads = 8;
    constexpr int Rounds = 25;
    const TDateTime checkOut = EncodeDateTime(2024, 12, 31, 14, 30);
    std::set<int64_t> valid;
    for (int t = 0; t < Threads; ++t)
        valid.insert(int64_t{810000000} + int64_t{t} * 1000000 + 123114);

    std::vector<int> failures(Threads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::string roomNo = "081" + std::to_string(t);
            int64_t expected = int64_t{810000000} + int64_t{t} * 1000000 + 123114;
            for (int i = 0; i < Rounds; ++i) {
                int64_t issued = 0;
                int64_t read = 0;
                if (!Issue(f.device, roomNo, checkOut, issued) || issued != expected)
                    ++failures[static_cast<size_t>(t)];
                if (!f.device.ReadCard(read) || valid.count(read) == 0)
                    ++failures[static_cast<size_t>(t)];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(Threads, 0));
    EXPECT_EQ(f.LogLines().size(), 1u + Threads * Rounds * 3u);
}

namespace {

// The simulator, with card writes that wait for the test: a device held by a call that does not return.
class TBlockingEncoder : public TCardEncoder {
public:
    TBlockingEncoder(std::unique_ptr<TCardEncoder> inner, std::atomic<bool>& entered,
                     std::atomic<bool>& release)
        : m_inner(std::move(inner)), m_entered(entered), m_release(release) {}
    int32_t auto_init(int32_t port, int32_t baud) override {
        ++m_inits;
        return m_inner->auto_init(port, baud);
    }
    int32_t dv_beep(int32_t handle, int32_t duration) override {
        ++m_beeps;
        return m_inner->dv_beep(handle, duration);
    }
    int32_t ic_exit(int32_t handle) override { return m_inner->ic_exit(handle); }
    int32_t srd_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        return m_inner->srd_24c02(handle, offset, length, buffer);
    }
    int32_t swr_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        m_entered = true;
        WaitFor([this] { return m_release.load(); }, std::chrono::seconds(60));
        return m_inner->swr_24c02(handle, offset, length, buffer);
    }
    std::string Description() const override { return "blocking"; }

    std::atomic<int> m_inits{0}, m_beeps{0};

private:
    std::unique_ptr<TCardEncoder> m_inner;
    std::atomic<bool>& m_entered;
    std::atomic<bool>& m_release;
};

} // namespace

// Readiness opens a port that is not open (no beep, no card touched), says not ready while it cannot, calls a
// device busy with a card ready, and one held past the bound not ready.
TEST(IcDoorlockCardTest, ReadinessOpensThePortAndTellsBusyFromStuck) {
    TSandbox cards;
    WriteFileBytes(cards.File("SimCard.bin"), BlankCard());
    std::atomic<bool> entered{false}, release{false};
    TBlockingEncoder* encoder = nullptr;
    TDeviceFixture f([&]() -> std::unique_ptr<TCardEncoder> {
        auto made = std::make_unique<TBlockingEncoder>(CreateSimulatedCardEncoder(cards.File("SimCard.bin")),
                                                       entered, release);
        encoder = made.get();
        return made;
    });
    std::string detail;
    f.option.PortName = "COM7";
    EXPECT_FALSE(f.device.CheckReady(std::chrono::seconds(1), std::chrono::hours(1), detail));
    EXPECT_EQ(detail, "blocking, port COM7 not open");
    f.option.PortName = "COM2";
    EXPECT_TRUE(f.device.CheckReady(std::chrono::seconds(1), std::chrono::hours(1), detail));
    EXPECT_EQ(detail, "blocking, port COM2 open");
    EXPECT_EQ(encoder->m_inits, 2);
    // Open now: asked again, it is not opened again.
    EXPECT_TRUE(f.device.CheckReady(std::chrono::seconds(1), std::chrono::hours(1), detail));
    EXPECT_EQ(encoder->m_inits, 2);
    EXPECT_EQ(encoder->m_beeps, 0);
    EXPECT_EQ(ReadFileBytes(cards.File("SimCard.bin")), BlankCard());

    std::thread writer([&] {
        int64_t cardNo = 0;
        Issue(f.device, "0816", EncodeDateTime(2024, 12, 31, 14, 30), cardNo);
    });
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    EXPECT_TRUE(f.device.CheckReady(std::chrono::milliseconds(20), std::chrono::hours(1), detail));
    EXPECT_EQ(detail, "blocking, port COM2 busy");
    EXPECT_FALSE(f.device.CheckReady(std::chrono::milliseconds(20), std::chrono::milliseconds(0), detail));
    EXPECT_EQ(detail.rfind("blocking, port COM2 busy for ", 0), 0u) << detail;
    release = true;
    writer.join();
    EXPECT_TRUE(f.device.CheckReady(std::chrono::milliseconds(20), std::chrono::milliseconds(0), detail));
}
