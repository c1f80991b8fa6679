// The serial display link: listing the serial ports, opening and probing them with the
// handshake, and rebuilding the link.
//
// A port is the display if and only if it opens, takes the 18-byte handshake frame and answers
// with 0x5C first within 100 ms. Every port that does stays open in the link's handle table and
// receives every later broadcast frame.
//
// The name rule: every port comes with a human-readable name holding its kernel name in
// parentheses ("Display (ttyACM0)", see platform/serial_ports.h). The listed name is the text
// after the first "(" (the whole name when there is none), with every ")" removed from its end;
// it is listed only when it begins with "tty", the prefix of every kernel serial port name.
//
// Ports the user names by path (--port PATH: a /dev/serial/by-id link, an emulator's
// pseudo-terminal) are listed after the discovered ones, in the order given, unchanged.
#pragma once

#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "device/device_link.h"

namespace tqv {

// The listed port name that a human-readable name yields, or nothing when the name rule skips it.
std::optional<std::string> PortNameFromFriendlyName(std::string_view friendlyName);

// Appends the present serial ports, then `extraPorts`, to link.ports (the caller empties it
// first), stopping at the table's 255 slots: ports beyond them are ignored. True when the
// system's listing ran to its end; false leaves link.ports as it was. The caller holds
// link.mutex.
bool EnumeratePorts(DeviceLink& link, std::span<const std::string> extraPorts = {});

// Closes every handle of the link, lists the ports afresh, opens and probes each and keeps those
// that answer the handshake. True if at least one port was kept. link.current points to the last
// kept port afterwards (null when none was kept): it never points to a closed one. The caller
// holds link.mutex for the whole call.
bool OpenPorts(DeviceLink& link, std::span<const std::string> extraPorts = {});

// Closes every handle of the link and forgets the listed ports. The caller holds link.mutex.
void ClosePorts(DeviceLink& link);

// One rebuild of the link, as the start-up, the window's rebuild command and a display's
// arrival run it: takes link.mutex for the whole rebuild, clears `serialPresent`, runs OpenPorts
// and stores its result in `serialPresent`. Returns that result. Safe to call from any thread
// while the monitor worker sends through the same link.
bool RebuildSerialLink(DeviceLink& link, std::atomic<bool>& serialPresent,
                       std::span<const std::string> extraPorts = {});

}  // namespace tqv
