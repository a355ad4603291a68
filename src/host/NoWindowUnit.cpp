#include "host/HostStartupUnit.h"

TWindowFactory HostWindowFactory() {
    return {};
}
