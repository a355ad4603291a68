#pragma once

#include <optional>
#include <string>
#include <vector>

// What the command line of a host asks for.
struct THostArguments {
    bool Headless = false;
    // Run by the Windows service control manager: without a window, the stop comes from the manager.
    bool Service = false;
    std::string ProgramDir; // empty: the directory of the executable
};

// Reads --headless, --service, --dir DIR (or --dir=DIR), --help (-h) and --version from args (args[0] is the
// program). Help and version are printed on standard output, an argument not known is reported on standard
// error: then the exit status comes back (0, or 2), and the host does not start.
std::optional<int> ReadHostArguments(const std::vector<std::string>& args, const std::string& programName,
                                     THostArguments& arguments);
