// Names of PCI vendors and devices from the PCI id database (pci.ids, as shipped by Debian's
// "pci.ids" package at /usr/share/misc/pci.ids). The path can be replaced through the
// environment variable TQV_PCI_IDS. Each lookup reads the file and stops at its entry, so
// nothing of the database stays in memory; lookups are meant for the few names a program asks
// for once, and are safe from any thread. A missing or unreadable database makes every lookup
// empty.
#pragma once

#include <cstdint>
#include <string>

namespace tqv::platform {

// The device's name as the database spells it (e.g. "GA102 [GeForce RTX 3080]"), or empty when
// the database does not list the pair.
std::string PciDeviceName(std::uint16_t vendor, std::uint16_t device);

// The vendor's name (e.g. "NVIDIA Corporation"), or empty when the database does not list it.
std::string PciVendorName(std::uint16_t vendor);

}  // namespace tqv::platform
