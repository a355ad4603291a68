// A small client of the interface server for integrators and operators: builds a request, sends it with
// its NUL, prints the response. Exit status: 0 result code 200 (or a response without one), 1 any other
// result code, 2 no response. It works in UTF-8 on every system: the arguments are read as the wide command
// line on Windows, so a guest's name reaches the host whatever the ANSI code page can hold.
#include "doorlock/DoorlockOptionUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/ConsoleUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/SocketUnit.h"
#include "platform/StopSignalUnit.h"
#include "platform/TlsUnit.h"
#include "records/DoorlockRecordQueryUnit.h"
#include "records/RecordBackupUnit.h"
#include "records/RecordRetentionUnit.h"
#include "server/LogReaderUnit.h"
#include "server/MessageTextUnit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoResponse = 2;

// A message on standard error, after the program's name.
void Complain(const std::string& utf8) {
    WriteText(stderr, "doorlock-cli: " + utf8 + "\n");
}

void Usage(std::FILE* out) {
    WriteText(
        out,
        "Usage: doorlock-cli [--host HOST] [--port PORT] [--timeout SECONDS] [TLS options] COMMAND ...\n"
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
        "             mark, CR LF, the stored text); with RecordRetentionDays set, a line above the\n"
        "             table says from when the rows are kept\n"
        "  backup [--dir DIR] DEST\n"
        "             copy DIR's Client.db, Spool.db and Option.ini (those that are there; default DIR:\n"
        "             this program's directory) into the new folder DEST, also while the host runs:\n"
        "             each database from one snapshot through SQLite's online backup, then checked\n"
        "             with PRAGMA integrity_check; DEST must not exist, and is written as DEST.partial\n"
        "             (only its owner may enter it) and renamed when complete; the tables of a\n"
        "             PostgreSQL server that Database names are not copied (back them up with pg_dump)\n"
        "  log [--dir DIR] [--date yyyymmdd] [--follow] [--peer ADDR]\n"
        "             print the host's log file DIR/yyyymmdd.LOG (default: this program's directory,\n"
        "             today's date) as UTF-8, decoded as code page 936; a byte that is no character\n"
        "             of it shows as \\xNN, as do the control characters 0-31 (but TAB) and 127, a CR\n"
        "             or LF that does not end a line included; other characters a terminal would\n"
        "             act on (C1 controls, bidirectional overrides and isolates, invisible format\n"
        "             characters) show as \\u{XXXX}; the host's own \\xNN stay as written;\n"
        "             --follow: then print lines as they come, and the next day's file once the\n"
        "             host starts one, until Ctrl+C, SIGTERM or standard output closes;\n"
        "             --peer ADDR: only the entries of the client at that IPv4 address (its peer\n"
        "             line, the received line and the request's lines), none of the host's own\n"
        "\n"
        "Options: --host (default 127.0.0.1), --port (default 8886), --timeout (default 30).\n"
        "         --help shows this text, --version the version.\n"
        "TLS options (the host's TlsCertificate is set):\n"
        "  --tls-ca FILE    the CA certificates (PEM) the host's certificate must chain to; turns TLS on\n"
        "  --tls-cert FILE  this client's certificate (PEM), for a host with TlsClientCA\n"
        "  --tls-key FILE   its private key (PEM, unencrypted)\n"
        "  --tls-name NAME  the name or address the host's certificate must carry (default: --host)\n"
        "Exit status: 0 result code 200 (records: listed; log: read; backup: written), 1 another result\n"
        "code (log: the file does not exist or cannot be read; backup: not written), 2 no response\n"
        "(records: the store could not be read) or bad arguments.\n");
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
    std::string tlsCA, tlsCertificate, tlsKey, tlsName;
    std::vector<std::string> rest;
};

// The connection's bytes: plain, or through the TLS session once its handshake succeeded.
struct TLink {
    TSocket socket;
    std::unique_ptr<TTlsSocketChannel> channel;
    std::unique_ptr<TTlsSession> tls;
    bool Send(const std::string& bytes) {
        return tls ? tls->Send(bytes.data(), bytes.size()) : socket.SendAll(bytes.data(), bytes.size());
    }
    long Receive(char* data, size_t size) {
        return tls ? tls->Receive(data, size) : socket.Receive(data, size);
    }
};

// Connects, with the TLS handshake when --tls-ca is given; kExitOk or the status with the reason on stderr.
int Open(const TArgs& args, TLink& link) {
    std::shared_ptr<TTlsContext> context;
    if (!args.tlsCA.empty()) {
        try {
            context = TTlsContext::ForClient(args.tlsCA, args.tlsCertificate, args.tlsKey);
        } catch (const std::exception& e) {
            Complain(e.what());
            return kExitNoResponse;
        }
    } else if (!args.tlsCertificate.empty() || !args.tlsKey.empty() || !args.tlsName.empty()) {
        Complain("--tls-cert, --tls-key and --tls-name need --tls-ca");
        return kExitNoResponse;
    }
    try {
        link.socket = ConnectTcp(args.host, args.port);
    } catch (const std::exception& e) {
        std::string reason = e.what();
        for (size_t at; (at = reason.find("\r\n")) != std::string::npos;)
            reason.replace(at, 2, ": ");
        Complain("cannot connect to " + args.host + ":" + std::to_string(args.port) + ": " + reason);
        return kExitNoResponse;
    }
    link.socket.SetReceiveTimeout(args.timeoutSeconds * 1000);
    if (!context)
        return kExitOk;
    link.channel = std::make_unique<TTlsSocketChannel>(link.socket);
    link.tls = std::make_unique<TTlsSession>(*context, *link.channel);
    if (!link.tls->Connect(args.tlsName.empty() ? args.host : args.tlsName)) {
        Complain("TLS handshake with " + args.host + ":" + std::to_string(args.port) +
                 " failed: " + link.tls->Error());
        return kExitNoResponse;
    }
    return kExitOk;
}

// Sends the request and its NUL; reads the response up to its NUL or the end of the connection.
int Exchange(const TArgs& args, const std::string& request, std::string& response) {
    TLink link;
    if (int status = Open(args, link); status != kExitOk)
        return status;
    std::string bytes = request;
    bytes.push_back('\0');
    if (!link.Send(bytes)) {
        if (link.tls)
            Complain("TLS with " + args.host + ":" + std::to_string(args.port) +
                     " failed: " + link.tls->Error());
        else
            Complain("sending the request failed");
        return kExitNoResponse;
    }
    char buffer[32768];
    for (;;) {
        long n = link.Receive(buffer, sizeof buffer);
        if (n <= 0)
            break;
        response.append(buffer, static_cast<size_t>(n));
        if (response.find('\0') != std::string::npos)
            break;
    }
    if (link.tls)
        link.tls->Shutdown();
    size_t nul = response.find('\0');
    if (nul == std::string::npos) {
        // Under TLS 1.3 a host that refuses this client's certificate says so only now.
        if (link.tls && !link.tls->Error().empty())
            Complain("TLS with " + args.host + ":" + std::to_string(args.port) +
                     " failed: " + link.tls->Error());
        else if (response.empty())
            Complain("no response (the server closed the connection or did not answer in time)");
        else
            Complain("the response was cut off");
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
        Complain("issue needs a room number");
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
                Complain(opt + " needs a value");
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
            Complain("unknown issue option '" + opt + "'");
            return false;
        }
        if (!ok)
            return false;
    }
    std::string inDate, inTime, outDate, outTime;
    if (!SplitDateTime(checkIn, inDate, inTime)) {
        Complain("'" + checkIn + "' is not a valid date and time");
        return false;
    }
    if (!SplitDateTime(checkOut, outDate, outTime)) {
        Complain("'" + checkOut + "' is not a valid date and time");
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
    static const size_t widths[] = {19, 10, 10, 6, 6, 19, 19, 12, 10};
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        const std::string shown = VisibleText(cells[i]);
        line += i < std::size(widths) ? Padded(shown, widths[i]) : shown;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    WriteText(stdout, GbkToUtf8(line) + "\n");
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
            Complain("unknown records option '" + opt + "'");
            return kExitNoResponse;
        }
        if (i + 1 >= rest.size()) {
            Complain(opt + " needs a value");
            return kExitNoResponse;
        }
        const std::string& value = rest[++i];
        if (opt == "--dir")
            dir = FileNameOfUtf8(value);
        else if (opt == "--room")
            filter.Room = Utf8ToGbk(value);
        else if (!TryStrToDateTime(value, opt == "--from" ? filter.From : filter.To)) {
            Complain("'" + value + "' is not a valid date and time");
            return kExitNoResponse;
        }
    }
    TDoorlockOption option(JoinFileName(dir, "Option.ini"));
    option.LoadOption();
    std::string retention;
    try {
        retention = RetentionNotice(RecordRetentionPolicyOf(option), Now());
    } catch (const std::exception& e) {
        // The host does not start with it; the rows are listed all the same.
        Complain(e.what());
    }
    int64_t count = 0;
    try {
        TDoorlockRecordQuery query(RecordStoreTarget(option.Database, dir));
        if (csv) {
            SetStandardOutputBinary();
            WriteText(stdout, RecordsCsvHeader());
        } else {
            if (!retention.empty())
                WriteText(stdout, GbkToUtf8(retention) + "\n");
            PrintTableLine({Gbk("操作时间"), Gbk("房间"), Gbk("卡号"), Gbk("结果"), Gbk("类型"),
                            Gbk("开始时间"), Gbk("离店时间"), Gbk("客人姓名"), Gbk("登记号"), Gbk("来源")});
        }
        query.ForEach(filter, [&](const TIssueCardRecordRow& row) {
            ++count;
            if (csv)
                WriteText(stdout, RecordCsvLine(row));
            else
                PrintTableLine({row.OpratingTime, row.RoomNo, row.CardNo, IssueResultText(row),
                                CardKindText(row.IsCopy), row.LastCheckInTime, row.CheckOutTime,
                                row.GuestName, row.RegisterId, row.Source});
        });
    } catch (const std::exception& e) {
        std::fflush(stdout);
        Complain("cannot read the records: " + GbkToUtf8(e.what()));
        return kExitNoResponse;
    }
    if (!csv)
        WriteText(stdout, "共 " + std::to_string(count) + " 条\n");
    return kExitOk;
}

// Copies the program directory's files into a new folder; nothing goes over the wire.
int BackUp(const std::vector<std::string>& rest, const char* argv0) {
    std::string dir = ExecutableDirectory(argv0);
    std::string dest;
    for (size_t i = 1; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        if (arg == "--dir") {
            if (i + 1 >= rest.size()) {
                Complain("--dir needs a value");
                return kExitNoResponse;
            }
            dir = FileNameOfUtf8(rest[++i]);
        } else if (arg.rfind("--", 0) == 0 || !dest.empty()) {
            Complain("unknown backup argument '" + arg + "'");
            return kExitNoResponse;
        } else {
            dest = FileNameOfUtf8(arg);
        }
    }
    if (dest.empty()) {
        Complain("backup needs the new folder to write (DEST)");
        return kExitNoResponse;
    }
    TBackupResult result;
    try {
        result = BackUpProgramDirectory(dir, dest, OptionFileNamesServer);
    } catch (const std::exception& e) {
        Complain("backup failed, nothing written: " + std::string(e.what()));
        return kExitFailed;
    }
    for (const TBackupFile& file : result.Files) {
        std::string line = file.Name + std::string(12 - file.Name.size(), ' ');
        if (!file.Present)
            line += "not present";
        else
            line += std::to_string(file.Bytes) + " bytes" + (file.Database ? ", integrity_check ok" : "");
        WriteText(stdout, line + "\n");
    }
    if (result.ServerStore)
        WriteText(stdout,
                  "Database names a PostgreSQL server: its tables (T_Room, T_IssueCardRecord) are not in "
                  "this backup; back them up with pg_dump\n");
    WriteText(stdout, "backup written to " + FileNameToUtf8(dest) + "\n");
    return kExitOk;
}

// Standard output was closed (`doorlock-cli log --follow | head`): the end of a follow.
struct TOutputClosed {};

// False once standard output is closed.
bool PrintLogText(const std::string& utf8) {
    if (utf8.empty())
        return true;
    WriteText(stdout, utf8);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// A log file read up to where it ended last time. The host's writer may replace the file (a removed file is
// created again) and a front-desk account may shorten it; either is read again from its start.
struct TLogFileRead {
    std::string date; // yyyymmdd
    std::string fileName;
    std::optional<TFileIdentity> identity;
    std::streamoff offset = 0;
};

// Prints the bytes added to the file since the last read. Empty, or why the file cannot be read.
std::string ReadLogFileOn(TLogFileRead& file, TLogReader& reader) {
    // Never opened through a link or as a FIFO: the program directory is the front desk's to write.
    if (std::string refusal = RegularFileRefusal(file.fileName); !refusal.empty())
        return refusal;
    std::ifstream in(FileSystemPath(file.fileName), std::ios::binary);
    if (!in) {
        std::error_code error;
        return std::filesystem::exists(FileSystemPath(file.fileName), error) ? "cannot be opened"
                                                                             : "does not exist";
    }
    const std::optional<TFileIdentity> identity = FileIdentityOf(file.fileName);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (identity != file.identity || size < file.offset) {
        if (file.offset > 0 && !PrintLogText(reader.Finish()))
            throw TOutputClosed{};
        file.identity = identity;
        file.offset = 0;
    }
    in.seekg(file.offset);
    std::string buffer(64 * 1024, '\0');
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize count = in.gcount();
        if (count <= 0)
            break;
        file.offset += count;
        if (!PrintLogText(reader.Feed(std::string_view(buffer).substr(0, static_cast<size_t>(count)))))
            throw TOutputClosed{};
    }
    return {};
}

// How often --follow looks at the file: a line shows within a quarter second, at no cost worth naming.
constexpr std::chrono::milliseconds kFollowInterval(250);

// Prints the host's log file as UTF-8 that a terminal shows and never acts on; nothing goes over the wire.
int ShowLog(const std::vector<std::string>& rest, const char* argv0) {
    std::string dir = ExecutableDirectory(argv0);
    std::string date = FormatDateTime("yyyymmdd", Now());
    std::string peer;
    bool follow = false;
    for (size_t i = 1; i < rest.size(); ++i) {
        const std::string& opt = rest[i];
        if (opt == "--follow") {
            follow = true;
            continue;
        }
        if (opt != "--dir" && opt != "--date" && opt != "--peer") {
            Complain("unknown log option '" + opt + "'");
            return kExitNoResponse;
        }
        if (i + 1 >= rest.size()) {
            Complain(opt + " needs a value");
            return kExitNoResponse;
        }
        const std::string& value = rest[++i];
        if (opt == "--dir") {
            dir = FileNameOfUtf8(value);
        } else if (opt == "--date") {
            TDateTime day = 0;
            if (value.size() != 8 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
                !TryStrToDateTime(
                    value.substr(0, 4) + "-" + value.substr(4, 2) + "-" + value.substr(6, 2) + " 0:0", day)) {
                Complain("'" + value + "' is not a date yyyymmdd");
                return kExitNoResponse;
            }
            date = value;
        } else if (!IsIpv4Text(value)) {
            Complain("'" + value + "' is not an IPv4 address");
            return kExitNoResponse;
        } else {
            peer = value;
        }
    }
    // A closed standard output fails a write instead of ending the process unseen. The lines end with LF on
    // every system, as the file's CR LF is taken off (a console is written as text all the same).
    IgnoreBrokenPipe();
    SetStandardOutputBinary();
    if (follow)
        BlockStopSignals();
    TLogReader reader(peer);
    TLogFileRead file{date, JoinFileName(dir, date + ".LOG"), std::nullopt, 0};
    try {
        if (std::string reason = ReadLogFileOn(file, reader); !reason.empty()) {
            Complain("cannot read " + FileNameToUtf8(file.fileName) + ": " + reason);
            return kExitFailed;
        }
        if (!follow) {
            PrintLogText(reader.Finish());
            return kExitOk;
        }
        WaitForStopSignal(kFollowInterval, [&] {
            // A host with daily files starts the next day's file; the last lines of this one come first.
            const std::string today = FormatDateTime("yyyymmdd", Now());
            const std::string next = JoinFileName(dir, today + ".LOG");
            std::error_code error;
            const bool nextDay = today > file.date && std::filesystem::exists(FileSystemPath(next), error);
            // A file that cannot be read for a while (replaced, removed) is looked at again next time.
            ReadLogFileOn(file, reader);
            if (!nextDay)
                return;
            if (!PrintLogText(reader.Finish()))
                throw TOutputClosed{};
            file = TLogFileRead{today, next, std::nullopt, 0};
            ReadLogFileOn(file, reader);
        });
    } catch (const TOutputClosed&) {
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    RestrictLibrarySearch();
    FixProcessFormats();
    const std::vector<std::string> argList = ProgramArgumentsUtf8(argc, argv);
    const int count = static_cast<int>(argList.size());
    TArgs args;
    for (int i = 1; i < count; ++i) {
        const std::string& arg = argList[i];
        if (args.rest.empty() && (arg == "--help" || arg == "-h")) {
            Usage(stdout);
            return kExitOk;
        }
        if (args.rest.empty() && arg == "--version") {
            WriteText(stdout, "doorlock-cli " DOORLOCK_VERSION "\n");
            return kExitOk;
        }
        if (args.rest.empty() &&
            (arg == "--host" || arg == "--port" || arg == "--timeout" || arg.rfind("--tls-", 0) == 0)) {
            if (i + 1 >= count) {
                Complain(arg + " needs a value");
                return kExitNoResponse;
            }
            const std::string& value = argList[++i];
            if (arg == "--host")
                args.host = value;
            else if (arg == "--port")
                args.port = std::atoi(value.c_str());
            else if (arg == "--timeout")
                args.timeoutSeconds = std::max(1, std::atoi(value.c_str()));
            else if (arg == "--tls-ca")
                args.tlsCA = value;
            else if (arg == "--tls-cert")
                args.tlsCertificate = value;
            else if (arg == "--tls-key")
                args.tlsKey = value;
            else if (arg == "--tls-name")
                args.tlsName = value;
            else {
                Complain("unknown option '" + arg + "'");
                return kExitNoResponse;
            }
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
    if (command == "log")
        return ShowLog(args.rest, argv[0]);
    if (command == "backup")
        return BackUp(args.rest, argv[0]);
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
            Complain("send needs a file name or '-'");
            return kExitNoResponse;
        }
        if (args.rest[1] == "-") {
            request = ReadAll(std::cin);
        } else {
            std::FILE* in = FileOpen(FileNameOfUtf8(args.rest[1]), "rb");
            if (in == nullptr) {
                Complain("cannot read " + args.rest[1]);
                return kExitNoResponse;
            }
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
                request.append(buffer, n);
            std::fclose(in);
        }
    } else {
        Complain("unknown command '" + command + "' (see --help)");
        return kExitNoResponse;
    }

    std::string response;
    int status = Exchange(args, request, response);
    if (status != kExitOk)
        return status;
    WriteText(stdout, response + "\n");
    std::string code = Tag(response, "ResultCode");
    if (code.empty() || code == "200")
        return kExitOk;
    return kExitFailed;
}
