#include "host/HostStartupUnit.h"

#ifdef DOORLOCK_WITH_GUI
#include "host/forms/MainFormUnit.h"
#endif

int main(int argc, char** argv) {
    THostConfig config;
    config.Kind = 1;
#ifdef DOORLOCK_WITH_GUI
    return HostMain(argc, argv, config, CreateHostWindow);
#else
    return HostMain(argc, argv, config, {});
#endif
}
