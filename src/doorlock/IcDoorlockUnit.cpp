#include "doorlock/IcDoorlockUnit.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

#include <thread>

namespace {

constexpr int32_t Baud = 9600;
constexpr int32_t BeepDuration = 10;
constexpr int32_t RecordOffset = 0;
constexpr int32_t RecordLength = 6;

// Only the low 16 bits of a card status count, read as a signed number.
int16_t StatusOf(int32_t status) {
    return static_cast<int16_t>(static_cast<uint32_t>(status) & 0xFFFFu);
}

// Any other length shifts or cuts the record, which then opens the wrong door or none at all.
bool IsRoomNumber(const std::string& roomNo) {
    if (roomNo.size() != 4)
        return false;
    for (char c : roomNo) {
        if (HexDigitValue(c) < 0)
            return false;
    }
    return true;
}

struct TCardTexts {
    std::string IssueFailed = Gbk("发卡失败");
    std::string Issued = Gbk("发卡成功,卡号为:");
    std::string ReadFailed = Gbk("读卡失败");
    std::string Read = Gbk("读卡成功,卡号为:");
    std::string EraseFailed = Gbk("销卡失败");
    std::string Erased = Gbk("销卡成功");
};

const TCardTexts& CardTexts() {
    static const TCardTexts texts;
    return texts;
}

} // namespace

TIcDoorlock::TIcDoorlock(TCardEncoder& encoder, void (*optionDialog)())
    : m_encoder(encoder), m_optionDialog(optionDialog) {}

void TIcDoorlock::ShowOption() {
    // Not under the device lock: the dialog is modal and card requests must go on meanwhile.
    if (m_optionDialog != nullptr)
        m_optionDialog();
}

bool TIcDoorlock::OpenPort() {
    int32_t port = Option != nullptr ? Option->PortIndex() : -1;
    std::string portName = Option != nullptr ? Option->PortName : std::string();

    TLogLinesAfterScope linesAfter;
    std::lock_guard<TDeviceLock> guard(m_lock);
    // A second open releases the first connection, which would otherwise hold the serial port.
    if (m_handleValid)
        m_encoder.ic_exit(m_deviceHandle);
    m_deviceHandle = m_encoder.auto_init(port, Baud);
    m_handleValid = m_deviceHandle > 0;
    Count("open", m_handleValid);
    if (!m_handleValid) {
        WriteLog(Gbk("串口打开失败: ") + portName);
        return false;
    }
    WriteLog(Gbk("串口打开成功: ") + portName);
    BeepLocked();
    return true;
}

void TIcDoorlock::Beep() {
    std::lock_guard<TDeviceLock> guard(m_lock);
    BeepLocked();
}

void TIcDoorlock::BeepLocked() {
    if (m_handleValid)
        m_encoder.dv_beep(m_deviceHandle, BeepDuration);
}

bool TIcDoorlock::ClosePort() {
    std::lock_guard<TDeviceLock> guard(m_lock);
    // A handle that is no longer (or never was) open is not handed back to the library: it may by now
    // belong to another connection.
    if (m_handleValid)
        m_encoder.ic_exit(m_deviceHandle);
    m_handleValid = false;
    return true;
}

bool TIcDoorlock::IssueCard(const std::string& registerId, const std::string& roomBuildingCode,
                            const std::string& roomFloorCode, const std::string& roomNo,
                            const std::string& guestName, TDateTime checkInDate, TDateTime checkInTime,
                            TDateTime checkOutDate, TDateTime checkOutTime, bool isCopy, int64_t& cardNo) {
    // The card record holds the room and the end of the stay only.
    (void)registerId, (void)roomBuildingCode, (void)roomFloorCode, (void)guestName;
    (void)checkInDate, (void)checkInTime, (void)isCopy;

    std::string text = CardText(roomNo, checkOutDate, checkOutTime);

    // The card lines keep the order of the card operations; the file is written once the device is free.
    TLogLinesAfterScope linesAfter;
    std::lock_guard<TDeviceLock> guard(m_lock);
    WriteLog("s" + text);
    if (!IsRoomNumber(roomNo))
        throw EConvertError(FormatText("'%s' is not a valid room number", {roomNo}));
    for (size_t i = 0; i < m_buffer.size(); ++i) {
        std::string pair = "$";
        pair.append(text, std::min(2 * i, text.size()), 2);
        m_buffer[i] = static_cast<uint8_t>(StrToInt(pair));
    }

    const TCardTexts& texts = CardTexts();
    const bool ok = CardOperation(&TCardEncoder::swr_24c02, texts.IssueFailed, texts.Issued, &cardNo);
    Count("issue", ok);
    return ok;
}

bool TIcDoorlock::ReadCard(int64_t& cardNo) {
    TLogLinesAfterScope linesAfter;
    std::lock_guard<TDeviceLock> guard(m_lock);
    const TCardTexts& texts = CardTexts();
    const bool ok = CardOperation(&TCardEncoder::srd_24c02, texts.ReadFailed, texts.Read, &cardNo);
    Count("read", ok);
    return ok;
}

bool TIcDoorlock::EraseCard() {
    TLogLinesAfterScope linesAfter;
    std::lock_guard<TDeviceLock> guard(m_lock);
    // A blank record: no room, so no lock opens for the card any more.
    m_buffer.fill(0xFF);
    const TCardTexts& texts = CardTexts();
    const bool ok = CardOperation(&TCardEncoder::swr_24c02, texts.EraseFailed, texts.Erased, nullptr);
    Count("erase", ok);
    return ok;
}

bool TIcDoorlock::CheckReady(std::chrono::milliseconds wait, std::chrono::milliseconds stuckAfter,
                             std::string& detail) {
    const std::string portName = Option != nullptr ? Option->PortName : std::string();
    const std::string described = m_encoder.Description();
    // The device's lock is fair and taken for every card: a monitor waits its turn only briefly, and a device
    // busy all that while is writing cards, which is what readiness asks.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<TDeviceLock> guard(m_lock, std::defer_lock);
    while (!guard.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            const auto held = m_lock.HeldFor();
            if (held > stuckAfter) {
                detail = described + ", port " + portName + " busy for " +
                         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(held).count()) +
                         " s";
                return false;
            }
            detail = described + ", port " + portName + " busy";
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!m_handleValid) {
        // As OpenPort, without its beep and lines: a fault mended (a cable, a library that answers again)
        // brings the device back without an operator.
        const int32_t port = Option != nullptr ? Option->PortIndex() : -1;
        m_deviceHandle = m_encoder.auto_init(port, Baud);
        m_handleValid = m_deviceHandle > 0;
        Count("open", m_handleValid);
        if (m_handleValid)
            WriteLog(Gbk("串口打开成功: ") + portName);
    }
    detail = described + ", port " + portName + (m_handleValid ? " open" : " not open");
    return m_handleValid;
}

void TIcDoorlock::WriteMetrics(TMetricsText& text) const {
    m_operations.Write(text);
}

bool TIcDoorlock::CardOperation(TCardCall call, const std::string& failedText, const std::string& doneText,
                                int64_t* cardNo) {
    const int32_t status =
        m_handleValid ? (m_encoder.*call)(m_deviceHandle, RecordOffset, RecordLength, m_buffer.data())
                      : CardStatusNotOpen;
    if (StatusOf(status) != 0) {
        WriteLog(failedText + IntToStr(StatusOf(status)));
        return false;
    }
    BeepLocked();
    if (cardNo == nullptr) {
        WriteLog(doneText);
        return true;
    }
    *cardNo = CardNumber(m_buffer);
    WriteLog(doneText + IntToStr(*cardNo));
    return true;
}

std::string TIcDoorlock::CardText(const std::string& roomNo, TDateTime checkOutDate, TDateTime checkOutTime) {
    return "11" + roomNo + FormatDateTime("MMDD", checkOutDate) + FormatDateTime("HH", checkOutTime);
}

int64_t TIcDoorlock::CardNumber(const std::array<uint8_t, 6>& record) {
    static constexpr char HexDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (uint8_t byte : record) {
        hex += HexDigits[byte >> 4];
        hex += HexDigits[byte & 0x0F];
    }
    std::string digits;
    for (size_t i = 2; i < 6; ++i)
        digits += std::to_string(HexDigitValue(hex[i]));
    digits += hex.substr(6);
    // Read as a decimal number up to the first character that is not a digit: a record whose date bytes
    // hold letters still gives the number of its leading digits. At most 14 digits, so it cannot overflow.
    int64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            break;
        number = number * 10 + (c - '0');
    }
    return number;
}
