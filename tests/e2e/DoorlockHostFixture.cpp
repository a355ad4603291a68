#include "DoorlockHostFixture.h"

#include "platform/CodePageUnit.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

void TDoorlockHostTest::StartHost(const std::string& doorlockOptions, bool blankCard,
                                  const std::string& sysOptions) {
    m_host = StartDoorlockHost(BuildProgram("doorlock-host"), m_sandbox.Path().string(), doorlockOptions,
                               m_port, sysOptions, blankCard, {.firstLineOnly = m_outputFirstLineOnly});
}

std::unique_ptr<TDoorlockHostTest::TDesk> TDoorlockHostTest::StartDesk(const std::string& doorlockOptions) {
    auto desk = std::make_unique<TDesk>();
    desk->Host = StartDoorlockHost(BuildProgram("doorlock-host"), desk->Sandbox.Path().string(),
                                   doorlockOptions, desk->Port);
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

std::string IssueCardRequest(const TCardRequest& card) {
    auto split = [](const std::string& text, std::string& date, std::string& time) {
        size_t blank = text.find(' ');
        date = text.substr(0, blank);
        time = blank == std::string::npos ? std::string() : text.substr(blank + 1);
    };
    std::string inDate, inTime, outDate, outTime;
    split(card.checkIn, inDate, inTime);
    split(card.checkOut, outDate, outTime);
    std::ostringstream xml;
    xml << "<DoorRequest type=\"IssueCard\"><RequestID></RequestID><RegisterId>" << card.registerId
        << "</RegisterId><RoomBuildingCode>01</RoomBuildingCode><RoomFloorCode>08</RoomFloorCode><RoomNo>"
        << card.room << "</RoomNo><GuestName>" << card.guest << "</GuestName><CheckInDate>" << inDate
        << "</CheckInDate><CheckInTime>" << inTime << "</CheckInTime><CheckOutDate>" << outDate
        << "</CheckOutDate><CheckOutTime>" << outTime << "</CheckOutTime><IsCopy>" << (card.copy ? 1 : 0)
        << "</IsCopy></DoorRequest>";
    return xml.str();
}

TCliRun RunCli(int port, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    TRunningProgram cli(BuildProgram("doorlock-cli"), args);
    int status = cli.Wait();
    return {status, cli.Output(), cli.RawOutput(), cli.Errors()};
}

std::string Utf8(const std::string& gbk) {
    return GbkToUtf8(gbk);
}

bool MakeCertificates(const std::string& dir, const std::string& clientName) {
#ifdef _WIN32
    // No bash under Windows; and under Wine with a display the failing command can wait on a dialog.
    (void)dir;
    (void)clientName;
    return false;
#else
    const std::string command = "CLIENT_NAME='" + clientName +
                                "' bash '" DOORLOCK_SOURCE_DIR "/scripts/make-certs.sh' '" + dir +
                                "' 127.0.0.1 >/dev/null";
    return std::system(command.c_str()) == 0;
#endif
}
