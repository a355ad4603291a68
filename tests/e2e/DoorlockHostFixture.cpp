#include "e2e/DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"

#include <csignal>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TRunningProgram> StartIn(const TSandbox& sandbox, const std::string& doorlockOptions,
                                         bool blankCard, int& port, bool firstLineOnly = false,
                                         const std::string& sysOptions = "") {
    if (blankCard)
        WriteFileBytes(sandbox.File("SimCard.bin"), std::string(256, '\xFF'));
    return StartHeadlessHost(
        BuildProgram("doorlock-host"), sandbox.Path().string(),
        [&](int listenPort) {
            return "[SysOption]\r\nDoorlockPortNo=" + std::to_string(listenPort) + "\r\n" + sysOptions +
                   "[DoorlockOption]\r\n" + doorlockOptions;
        },
        "门锁接口监听服务器已经启动...", port, firstLineOnly);
}

} // namespace

void TDoorlockHostTest::StartHost(const std::string& doorlockOptions, bool blankCard,
                                  const std::string& sysOptions) {
    m_host = StartIn(m_sandbox, doorlockOptions, blankCard, m_port, m_outputFirstLineOnly, sysOptions);
    ASSERT_NE(m_host, nullptr);
}

std::unique_ptr<TDoorlockHostTest::TDesk> TDoorlockHostTest::StartDesk(const std::string& doorlockOptions) {
    auto desk = std::make_unique<TDesk>();
    desk->Host = StartIn(desk->Sandbox, doorlockOptions, true, desk->Port);
    EXPECT_NE(desk->Host, nullptr);
    return desk;
}

std::string TDoorlockHostTest::TDesk::LogText() const {
    return ReadLogFile(Sandbox.Path().string());
}

int TDoorlockHostTest::StopHost() {
    int status = m_host->Stop(SIGTERM);
    return status;
}

std::string TDoorlockHostTest::LogText() const {
    return ReadLogFile(m_sandbox.Path().string());
}

std::vector<std::string> TDoorlockHostTest::LogLines() const {
    std::vector<std::string> lines;
    for (const TLogLine& line : ParseLog(LogText()))
        lines.push_back(line.Text);
    return lines;
}

std::string IssueCardRequest(const std::string& room, const std::string& checkIn, const std::string& checkOut,
                             bool copy, const std::string& guest, const std::string& registerId) {
    auto split = [](const std::string& text, std::string& date, std::string& time) {
        size_t blank = text.find(' ');
        date = text.substr(0, blank);
        time = blank == std::string::npos ? std::string() : text.substr(blank + 1);
    };
    std::string inDate, inTime, outDate, outTime;
    split(checkIn, inDate, inTime);
    split(checkOut, outDate, outTime);
    std::ostringstream xml;
    xml << "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>" << registerId
        << "</RegisterId><RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>08</RoomFloorCode><RoomNo>"
        << room << "</RoomNo><GuestName>" << guest << "</GuestName><CheckInDate>" << inDate
        << "</CheckInDate><CheckInTime>" << inTime << "</CheckInTime><CheckOutDate>" << outDate
        << "</CheckOutDate><CheckOutTime>" << outTime << "</CheckOutTime><IsCopy>" << (copy ? 1 : 0)
        << "</IsCopy></DoorRequest>";
    return xml.str();
}

std::string Utf8(const std::string& gbk) {
    return GbkToUtf8(gbk);
}
