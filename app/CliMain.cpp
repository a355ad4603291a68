// A small client of the interface server for integrators and operators: builds a request, sends it with
// its NUL, prints the response. Exit status: 0 result code 200 (or a response without one), 1 any other
// result code, 2 no response.
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordQueryUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/SocketUnit.h"
#include "server/MessageTextUnit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoResponse = 2;

void Usage(std::FILE* out) {
    std::fputs("Usage: doorlock-cli [--host HOST] [--port PORT] [--timeout SECONDS] COMMAND ...\n"
               "\n"
               "Commands:\n"
               "  issue ROOM [--checkin 'yyyy-mm-dd hh:nn:ss'] [--checkout 'yyyy-mm-dd hh:nn:ss']\n"
               "             [--building CODE] [--floor CODE] [--guest NAME] [--register ID] [--copy]\n"
               "             write a guest key card for ROOM (four hexadecimal digits, e.g. 0816);\n"
               "             defaults: check-in now, check-out tomorrow 12:00:00, building 01, floor 01,\n"
               "             guest 'Guest', empty register id, a new card (not a copy)\n"
               "  read       read the card lying on the encoder\n"
               "  erase      cancel the card lying on the encoder\n"
               "  send FILE  send the request text of FILE ('-' for standard input) as it is\n"
               "  records [--dir DIR] [--room ROOM] [--from TIME] [--to TIME] [--csv]\n"
               "             list the issued-card records, newest first, read-only from the record store\n"
               "             that DIR's Option.ini names (default: this program's directory); ROOM is\n"
               "             a room number of four characters (e.g. 0816: that room in every building\n"
               "             and on every floor) or a whole key, building + floor + room number (e.g.\n"
               "             01080816); TIME 'yyyy-mm-dd hh:nn:ss', both included; control characters\n"
               "             show as \\xNN and a backslash as \\\\; --csv: CSV (UTF-8 with a byte-order\n"
               "             mark, CR LF, the stored text)\n"
               "\n"
               "Options: --host (default 127.0.0.1), --port (default 8886), --timeout (default 30).\n"
               "Exit status: 0 result code 200 (records: listed), 1 another result code, 2 no response\n"
               "(records: the store could not be read).\n",
               out);
}

std::string ReadAll(std::istream& in) {
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Splits "yyyy-mm-dd hh:nn:ss" into its date and time parts after checking it.
bool SplitDateTime(const std::string& text, std::string& date, std::string& time) {
    TDateTime value = 0;
    if (!TryStrToDateTime(text, value))
        return false;
    date = FormatDateTime("yyyy-mm-dd", value);
    time = FormatDateTime("hh:nn:ss", value);
    return true;
}

struct TArgs {
    std::string host = "127.0.0.1";
    int port = 8886;
    int timeoutSeconds = 30;
    std::vector<std::string> rest;
};

// Sends the request and its NUL; reads the response up to its NUL or the end of the connection.
int Exchange(const TArgs& args, const std::string& request, std::string& response) {
    TSocket socket;
    try {
        socket = ConnectTcp(args.host, args.port);
    } catch (const std::exception& e) {
        std::string reason = e.what();
        for (size_t at; (at = reason.find("\r\n")) != std::string::npos;)
            reason.replace(at, 2, ": ");
        std::fprintf(stderr, "doorlock-cli: cannot connect to %s:%d: %s\n", args.host.c_str(), args.port,
                     reason.c_str());
        return kExitNoResponse;
    }
    socket.SetReceiveTimeout(args.timeoutSeconds * 1000);
    std::string bytes = request;
    bytes.push_back('\0');
    if (!socket.SendAll(bytes.data(), bytes.size())) {
        std::fputs("doorlock-cli: sending the request failed\n", stderr);
        return kExitNoResponse;
    }
    char buffer[32768];
    for (;;) {
        long n = socket.Receive(buffer, sizeof buffer);
        if (n <= 0)
            break;
        response.append(buffer, static_cast<size_t>(n));
        if (response.find('\0') != std::string::npos)
            break;
    }
    size_t nul = response.find('\0');
    if (nul == std::string::npos) {
        if (response.empty())
            std::fputs(
                "doorlock-cli: no response (the server closed the connection or did not answer in time)\n",
                stderr);
        else
            std::fputs("doorlock-cli: the response was cut off\n", stderr);
        return kExitNoResponse;
    }
    response.resize(nul);
    return kExitOk;
}

std::string Tag(const std::string& xml, const std::string& name) {
    std::string open = "<" + name + ">";
    std::string close = "</" + name + ">";
    size_t start = xml.find(open);
    if (start == std::string::npos)
        return {};
    start += open.size();
    size_t end = xml.find(close, start);
    return end == std::string::npos ? std::string() : xml.substr(start, end - start);
}

bool BuildIssue(const std::vector<std::string>& rest, std::string& request) {
    if (rest.size() < 2) {
        std::fputs("doorlock-cli: issue needs a room number\n", stderr);
        return false;
    }
    std::string room = rest[1];
    std::string building = "01", floor = "01", guest = "Guest", registerId;
    std::string checkIn = DateTimeToStr(Now());
    TDateTime tomorrow = static_cast<double>(static_cast<long>(Now())) + 1 + 0.5;
    std::string checkOut = DateTimeToStr(tomorrow);
    bool copy = false;
    for (size_t i = 2; i < rest.size(); ++i) {
        const std::string& opt = rest[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= rest.size()) {
                std::fprintf(stderr, "doorlock-cli: %s needs a value\n", opt.c_str());
                return false;
            }
            target = rest[++i];
            return true;
        };
        bool ok = true;
        if (opt == "--checkin")
            ok = value(checkIn);
        else if (opt == "--checkout")
            ok = value(checkOut);
        else if (opt == "--building")
            ok = value(building);
        else if (opt == "--floor")
            ok = value(floor);
        else if (opt == "--guest")
            ok = value(guest);
        else if (opt == "--register")
            ok = value(registerId);
        else if (opt == "--copy")
            copy = true;
        else {
            std::fprintf(stderr, "doorlock-cli: unknown issue option '%s'\n", opt.c_str());
            return false;
        }
        if (!ok)
            return false;
    }
    std::string inDate, inTime, outDate, outTime;
    if (!SplitDateTime(checkIn, inDate, inTime)) {
        std::fprintf(stderr, "doorlock-cli: '%s' is not a valid date and time\n", checkIn.c_str());
        return false;
    }
    if (!SplitDateTime(checkOut, outDate, outTime)) {
        std::fprintf(stderr, "doorlock-cli: '%s' is not a valid date and time\n", checkOut.c_str());
        return false;
    }
    request = "<DoorRequest type=\"IssueCard\">";
    const std::pair<const char*, std::string> elements[] = {
        {"RequestID", ""},
        {"RegisterId", registerId},
        {"RoomBuildingCode", building},
        {"RoomFloorCode", floor},
        {"RoomNo", room},
        {"GuestName", guest},
        {"CheckInDate", inDate},
        {"CheckInTime", inTime},
        {"CheckOutDate", outDate},
        {"CheckOutTime", outTime},
        {"IsCopy", copy ? "1" : "0"},
    };
    for (const auto& [name, value] : elements)
        AppendElement(request, name, value);
    request += "</DoorRequest>";
    return true;
}

// Pads GBK text to a width of console columns: a GBK character of two bytes takes two columns.
std::string Padded(const std::string& gbk, size_t width) {
    return gbk.size() >= width ? gbk + " " : gbk + std::string(width - gbk.size() + 1, ' ');
}

// Every cell as VisibleText shows it: the rows hold what the hotel system sent, and a terminal must not act
// on it.
void PrintTableLine(const std::vector<std::string>& cells) {
    static const size_t widths[] = {19, 10, 10, 6, 19, 19, 12, 10};
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        const std::string shown = VisibleText(cells[i]);
        line += i < std::size(widths) ? Padded(shown, widths[i]) : shown;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    std::printf("%s\n", GbkToUtf8(line).c_str());
}

// Lists the issued-card rows of the program directory's record store; nothing goes over the wire.
int ListRecords(const std::vector<std::string>& rest, const char* argv0) {
    std::string dir = ExecutableDirectory(argv0);
    std::string from, to;
    TIssueCardRecordFilter filter;
    bool csv = false;
    for (size_t i = 1; i < rest.size(); ++i) {
        const std::string& opt = rest[i];
        if (opt == "--csv") {
            csv = true;
            continue;
        }
        if (opt != "--dir" && opt != "--room" && opt != "--from" && opt != "--to") {
            std::fprintf(stderr, "doorlock-cli: unknown records option '%s'\n", opt.c_str());
            return kExitNoResponse;
        }
        if (i + 1 >= rest.size()) {
            std::fprintf(stderr, "doorlock-cli: %s needs a value\n", opt.c_str());
            return kExitNoResponse;
        }
        const std::string& value = rest[++i];
        if (opt == "--dir")
            dir = value;
        else if (opt == "--room")
            filter.Room = Utf8ToGbk(value);
        else if (!TryStrToDateTime(value, opt == "--from" ? filter.From : filter.To)) {
            std::fprintf(stderr, "doorlock-cli: '%s' is not a valid date and time\n", value.c_str());
            return kExitNoResponse;
        }
    }
    TDoorlockOption option(JoinFileName(dir, "Option.ini"));
    option.LoadOption();
    int64_t count = 0;
    try {
        TDoorlockRecordQuery query(RecordStoreTarget(option.Database, dir));
        if (csv) {
            SetStandardOutputBinary();
            std::fputs(RecordsCsvHeader().c_str(), stdout);
        } else {
            PrintTableLine({Gbk("操作时间"), Gbk("房间"), Gbk("卡号"), Gbk("类型"), Gbk("开始时间"),
                            Gbk("离店时间"), Gbk("客人姓名"), Gbk("登记号"), Gbk("来源")});
        }
        query.ForEach(filter, [&](const TIssueCardRecordRow& row) {
            ++count;
            if (csv)
                std::fputs(RecordCsvLine(row).c_str(), stdout);
            else
                PrintTableLine({row.OpratingTime, row.RoomNo, row.CardNo, CardKindText(row.IsCopy),
                                row.LastCheckInTime, row.CheckOutTime, row.GuestName, row.RegisterId,
                                row.Source});
        });
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "doorlock-cli: cannot read the records: %s\n", GbkToUtf8(e.what()).c_str());
        return kExitNoResponse;
    }
    if (!csv)
        std::printf("%s\n", GbkToUtf8(Gbk("共 ") + std::to_string(count) + Gbk(" 条")).c_str());
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    FixProcessFormats();
    TArgs args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (args.rest.empty() && (arg == "--help" || arg == "-h")) {
            Usage(stdout);
            return kExitOk;
        }
        if (args.rest.empty() && (arg == "--host" || arg == "--port" || arg == "--timeout")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "doorlock-cli: %s needs a value\n", arg.c_str());
                return kExitNoResponse;
            }
            std::string value = argv[++i];
            if (arg == "--host")
                args.host = value;
            else if (arg == "--port")
                args.port = std::atoi(value.c_str());
            else
                args.timeoutSeconds = std::max(1, std::atoi(value.c_str()));
            continue;
        }
        args.rest.push_back(arg);
    }
    if (args.rest.empty()) {
        Usage(stderr);
        return kExitNoResponse;
    }

    const std::string& command = args.rest[0];
    if (command == "records")
        return ListRecords(args.rest, argv[0]);
    std::string request;
    if (command == "issue") {
        if (!BuildIssue(args.rest, request))
            return kExitNoResponse;
    } else if (command == "read") {
        request = "<DoorRequest type=\"ReadCard\"></DoorRequest>";
    } else if (command == "erase") {
        request = "<DoorRequest type=\"EraseCard\"></DoorRequest>";
    } else if (command == "send") {
        if (args.rest.size() < 2) {
            std::fputs("doorlock-cli: send needs a file name or '-'\n", stderr);
            return kExitNoResponse;
        }
        if (args.rest[1] == "-") {
            request = ReadAll(std::cin);
        } else {
            std::ifstream in(args.rest[1], std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "doorlock-cli: cannot read %s\n", args.rest[1].c_str());
                return kExitNoResponse;
            }
            request = ReadAll(in);
        }
    } else {
        std::fprintf(stderr, "doorlock-cli: unknown command '%s' (see --help)\n", command.c_str());
        return kExitNoResponse;
    }

    std::string response;
    int status = Exchange(args, request, response);
    if (status != kExitOk)
        return status;
    std::printf("%s\n", response.c_str());
    std::string code = Tag(response, "ResultCode");
    if (code.empty() || code == "200")
        return kExitOk;
    return kExitFailed;
}
