#include <cstdio>

#include "app/commands.h"

namespace tqv {

int RunHeadlessCommand(const CommandOptions&) {
    std::fprintf(stderr, "tarquelonvist: --headless is not available yet\n");
    return 1;
}

}  // namespace tqv
