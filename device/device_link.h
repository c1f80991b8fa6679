// The serial display link: the listed ports, their open handles and the results of the last
// write and handshake.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace tqv {

struct DeviceLink {
    static constexpr std::size_t kSlots = 255;

    // Names of the ports found by the last listing, in listing order.
    std::vector<std::string> ports;
    // Slot i belongs to entry i of `ports`; an empty slot means no open, confirmed port.
    std::array<std::unique_ptr<platform::SerialPort>, kSlots> handles;
    // The port a non-broadcast frame (the handshake) is written to and read from.
    platform::SerialPort* current = nullptr;
    // Whether the most recent frame write succeeded.
    bool lastWriteOk = false;
    // Whether the most recent handshake answer began with 0x5C.
    bool confirmed = false;

    // Two threads use the link: the one that rebuilds it and the monitor worker that sends
    // through it. Whoever reads or writes any field above holds this mutex for the whole
    // operation (a rebuild, one frame), so a frame never goes to a closed or reused port.
    std::mutex mutex;
};

}  // namespace tqv
