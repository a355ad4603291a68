#include "FixedPoliceUnit.h"

#include "host/HostStartupUnit.h"

int main(int argc, char** argv) {
    TFixedPolice backend;
    THostConfig config;
    config.Kind = TInterfaceKind::Police;
    config.Police = &backend;
    config.ProgramName = "police-example-host";
    return HostMain(argc, argv, config, HostWindowFactory());
}
