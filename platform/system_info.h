// Facts about the machine that do not come from the sensor library: the network adapter, the
// operating system's name and version, and the sound cards. The readers take their trees from
// platform/fs_roots.h, so tests run them on small fixture trees. Every reader fails silently:
// what cannot be read comes back empty.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tqv::platform {

// The description of the first physical network adapter, in interface-index order. An adapter
// is physical when /sys/class/net/<name>/device exists, which rules out the loopback and every
// virtual interface (bridges, tunnels, VLANs, veth, bonds...). The description is, from the
// adapter's device upwards: a PCI function's product name from the PCI id database (the
// vendor's name and "Device xxxx" when the database lacks the product), or a USB device's
// product string ("USB device vvvv:pppp" without one); failing both, the driver's name, and
// failing that the interface name. Empty when there is no physical adapter.
std::string NetworkAdapterDescription();

// What the system says about its own version.
struct OsVersionFacts {
    std::string productName;     // os-release NAME, e.g. "Debian GNU/Linux"
    std::string displayVersion;  // os-release VERSION_ID, or BUILD_ID without one, e.g. "12"
    std::string currentBuild;    // the kernel release, e.g. "6.1.0-13-amd64"
};

// os-release from <etc>/os-release, or <etc>/../usr/lib/os-release when that is missing; the
// kernel release from <proc>/sys/kernel/osrelease. Unreadable sources leave their fields empty.
OsVersionFacts ReadOsVersionFacts();

// The assignments of an os-release file: KEY=value lines, values unquoted, in double quotes
// (with \" \\ \$ \` escapes) or in single quotes. Comments, blank and malformed lines are
// skipped; a later assignment of a key wins.
std::map<std::string, std::string> ParseOsRelease(std::string_view text);

// The long names of the sound cards in card order, from <proc>/asound/cards.
std::vector<std::string> SoundCardNames();

// The long names in the text of /proc/asound/cards: each card is a line " N [id ]: driver -
// short name" followed by an indented line with its long name (the short name when that line
// is missing).
std::vector<std::string> ParseSoundCards(std::string_view text);

}  // namespace tqv::platform
