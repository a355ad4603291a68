#include "FileMemberUnit.h"

#include "host/HostStartupUnit.h"

#include <filesystem>

int main(int argc, char** argv) {
    TFileMember backend;
    THostConfig config;
    config.Kind = TInterfaceKind::Member;
    config.Member = &backend;
    config.ProgramName = "member-example-host";
    // The cards live beside Option.ini and the logs, in the directory --dir names.
    config.OnStartUp = [&backend](const std::string& programDir) {
        backend.SetFileName((std::filesystem::path(programDir) / "MemberCards.txt").string());
    };
    return HostMain(argc, argv, config, HostWindowFactory());
}
