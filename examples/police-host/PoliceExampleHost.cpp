#include "FixedPoliceUnit.h"

#include "host/HostStartupUnit.h"

#ifdef DOORLOCK_WITH_GUI
#include "host/forms/MainFormUnit.h"
#endif

int main(int argc, char** argv) {
    TFixedPolice backend;
    THostConfig config;
    config.Kind = 2;
    config.Police = &backend;
    config.ProgramName = "police-example-host";
#ifdef DOORLOCK_WITH_GUI
    return HostMain(argc, argv, config, CreateHostWindow);
#else
    return HostMain(argc, argv, config, {});
#endif
}
