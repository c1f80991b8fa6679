// Names of PCI vendors and devices from the PCI id database (pci.ids, as shipped by Debian's
// "pci.ids" package at /usr/share/misc/pci.ids). The path can be replaced through the
// environment variable TQV_PCI_IDS. The database is read once, on the first lookup, and kept in
// memory; a later lookup with a different TQV_PCI_IDS reads that file instead. Lookups are cheap
// and safe from any thread. A missing or unreadable database makes every lookup empty.
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
