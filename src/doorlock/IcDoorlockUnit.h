#pragma once

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "platform/FairMutexUnit.h"
#include "server/MetricsUnit.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The IC-card door lock: a 6-byte record at offset 0 of the card's 24C02 memory, written and read through
// the card encoder. Every outcome goes to the log. One operation at a time; OpenPort releases a connection
// still open before opening again; ClosePort releases only an open connection and always returns true;
// Beep does nothing without an open connection.
class TIcDoorlock : public TBaseDoorlock {
public:
    // The device lock, which also knows since when it is held: a readiness check that finds the device busy
    // for long tells a library call that never returns from a device that is merely in use.
    class TDeviceLock {
    public:
        void lock() {
            m_lock.lock();
            m_heldSince = Ticks();
        }
        bool try_lock() {
            if (!m_lock.try_lock())
                return false;
            m_heldSince = Ticks();
            return true;
        }
        void unlock() {
            m_heldSince = 0;
            m_lock.unlock();
        }
        // How long the holder has held it; 0 when free.
        std::chrono::steady_clock::duration HeldFor() const {
            const int64_t since = m_heldSince.load();
            return since == 0 ? std::chrono::steady_clock::duration{}
                              : std::chrono::steady_clock::duration(Ticks() - since);
        }

    private:
        static int64_t Ticks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
        TFairMutex m_lock;
        std::atomic<int64_t> m_heldSince{0};
    };

    // The encoder must outlive the device. optionDialog: the device options dialog that ShowOption shows,
    // given by the window build; none without a window.
    explicit TIcDoorlock(TCardEncoder& encoder, void (*optionDialog)() = nullptr);

    void ShowOption() override;

    bool OpenPort() override;
    void Beep() override;
    bool ClosePort() override;
    // Raises EConvertError "'%s' is not a valid room number" unless roomNo is four hexadecimal digits; the
    // "s" line with the card text is logged first, the card is not touched.
    bool IssueCard(const std::string& registerId, const std::string& roomBuildingCode,
                   const std::string& roomFloorCode, const std::string& roomNo, const std::string& guestName,
                   TDateTime checkInDate, TDateTime checkInTime, TDateTime checkOutDate,
                   TDateTime checkOutTime, bool isCopy, int64_t& cardNo) override;
    bool ReadCard(int64_t& cardNo) override;
    // Writes a blank record (six bytes 0xFF); logs "销卡成功" or "销卡失败" + status.
    bool EraseCard() override;
    bool CheckReady(std::chrono::milliseconds wait, std::chrono::milliseconds stuckAfter,
                    std::string& detail) override;
    void WriteMetrics(TMetricsText& text) const override;

    // "11" + room number + check-out "MMDD" + "HH".
    static std::string CardText(const std::string& roomNo, TDateTime checkOutDate, TDateTime checkOutTime);
    // The card number of a 6-byte record: the room digits in decimal, then month, day, hour as written.
    static int64_t CardNumber(const std::array<uint8_t, 6>& record);

private:
    using TCardCall = int32_t (TCardEncoder::*)(int32_t handle, int32_t offset, int32_t length,
                                                uint8_t* buffer);

    void BeepLocked();
    // The tail of every card operation, under the device lock: the library call on the record buffer (the
    // not-open status without calling it when no connection is open), a failure logged with its status, or
    // a beep and the success line, with the card number of the buffer when cardNo is given.
    bool CardOperation(TCardCall call, const std::string& failedText, const std::string& doneText,
                       int64_t* cardNo);

    TCardEncoder& m_encoder;
    void (*m_optionDialog)();
    // One handle and one buffer: one operation at a time, in the order the workers asked.
    TDeviceLock m_lock;
    int32_t m_deviceHandle = 0;
    bool m_handleValid = false;
    std::array<uint8_t, 6> m_buffer{};
    // Card operations and port opens by outcome, for the monitor.
    TCounterFamily m_operations{"doorlock_encoder_operations_total",
                                "Encoder operations, by operation and result (ok or failed).",
                                {"operation", "result"},
                                16};
    void Count(const char* operation, bool ok) { m_operations.Add({operation, ok ? "ok" : "failed"}); }
};
