// A sensor library whose entry point offers no operation at all.
#include "sdk/sdk_interface.h"

extern "C" __attribute__((visibility("default"))) void* QueryInterface(uint32_t) {
    return nullptr;
}
