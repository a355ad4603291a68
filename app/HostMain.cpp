#include "host/HostStartupUnit.h"

int main(int argc, char** argv) {
    THostConfig config;
    config.Kind = TInterfaceKind::Doorlock;
    return HostMain(argc, argv, config, HostWindowFactory());
}
