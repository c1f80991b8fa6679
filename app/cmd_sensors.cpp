#include <cstdio>

#include "app/commands.h"

namespace tqv {

int RunSensorsCommand(const CommandOptions&) {
    std::fprintf(stderr, "tarquelonvist: --sensors is not available yet\n");
    return 1;
}

}  // namespace tqv
