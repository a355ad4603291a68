#include "host/HostStartupUnit.h"

int main(int argc, char** argv) {
    THostConfig config;
    config.Kind = 1;
    return HostMain(argc, argv, config, HostWindowFactory());
}
