#include "host/HostArgumentsUnit.h"

#include "platform/FileNameUnit.h"

#include <cstdio>
#include <string_view>

namespace {

void PrintUsage(const std::string& programName) {
    std::printf("Usage: %s [--headless | --service] [--dir DIR]\n"
                "  --headless   serve without a window; SIGINT / SIGTERM stop the host\n"
                "  --service    serve without a window as a Windows service, started and stopped by the\n"
                "               service control manager (registered with sc.exe create)\n"
                "  --dir DIR    program directory with Option.ini, the log files, Client.db and SimCard.bin\n"
                "               (default: the directory of the executable)\n"
                "  --help       show this help\n"
                "  --version    show the version\n",
                programName.c_str());
}

} // namespace

std::optional<int> ReadHostArguments(const std::vector<std::string>& args, const std::string& programName,
                                     THostArguments& arguments) {
    for (size_t i = 1; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--headless") {
            arguments.Headless = true;
        } else if (arg == "--service") {
            arguments.Service = true;
            arguments.Headless = true;
        } else if (arg == "--dir" && i + 1 < args.size()) {
            arguments.ProgramDir = args[++i];
        } else if (arg.rfind("--dir=", 0) == 0) {
            arguments.ProgramDir = std::string(arg.substr(6));
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(programName);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", programName.c_str(), DOORLOCK_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s' (see --help)\n", programName.c_str(),
                         FileNameToUtf8(args[i]).c_str());
            return 2;
        }
    }
    return std::nullopt;
}
