// Hexadecimal ids as the kernel and the PCI id database write them.
#pragma once

#include <cstdint>
#include <string_view>

namespace tqv::platform {

// Parses 1 to 4 hexadecimal digits (either case, nothing else around them) into a 16-bit id,
// such as a USB or PCI vendor or product id. False, leaving `out` alone, for anything else.
inline bool ParseHex16(std::string_view text, std::uint16_t& out) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace tqv::platform
