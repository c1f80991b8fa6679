#include "platform/pci_ids.h"

#include <cstdlib>
#include <string_view>

#include "platform/file_io.h"
#include "platform/hex.h"

namespace tqv::platform {

namespace {

constexpr const char* kDefaultDatabase = "/usr/share/misc/pci.ids";

// Four hexadecimal digits at the start of `text`, followed by white space.
bool ParseId(std::string_view text, std::uint16_t& id) {
    if (text.size() < 5 || (text[4] != ' ' && text[4] != '\t'))
        return false;
    return ParseHex16(text.substr(0, 4), id);
}

std::string NameAfterId(std::string_view text) {
    std::size_t begin = 4;
    while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return std::string(text.substr(begin, end - begin));
}

// The database lists vendors at the start of a line, each vendor's devices one tab in and their
// subsystems two tabs in; the device classes ("C xx  name") follow at the end and are skipped.
// A lookup walks the lines until it finds its vendor (and, when asked, that vendor's device) and
// stops there: a program asks for a handful of names once, so building tables of the whole
// database would cost far more than the lookups it serves.
std::string Find(std::uint16_t vendor, const std::uint16_t* device) {
    const char* overridden = std::getenv("TQV_PCI_IDS");
    std::string content;
    if (!ReadWholeFile((overridden && overridden[0]) ? overridden : kDefaultDatabase, content))
        return {};
    std::string_view rest = content;
    bool inVendor = false;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        std::string_view text = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        if (text.empty() || text[0] == '#')
            continue;
        if (text[0] != '\t') {
            if (inVendor)
                return {};  // the vendor's block ended without the device
            std::uint16_t id;
            if (ParseId(text, id) && id == vendor) {
                if (!device)
                    return NameAfterId(text);
                inVendor = true;
            }
            continue;
        }
        if (!inVendor || text.size() < 2 || text[1] == '\t')
            continue;
        std::uint16_t id;
        std::string_view line = text.substr(1);
        if (ParseId(line, id) && id == *device)
            return NameAfterId(line);
    }
    return {};
}

}  // namespace

std::string PciDeviceName(std::uint16_t vendor, std::uint16_t device) {
    return Find(vendor, &device);
}

std::string PciVendorName(std::uint16_t vendor) { return Find(vendor, nullptr); }

}  // namespace tqv::platform
