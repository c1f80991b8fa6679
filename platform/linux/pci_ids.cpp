#include "platform/pci_ids.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/hex.h"

namespace tqv::platform {

namespace {

constexpr const char* kDefaultDatabase = "/usr/share/misc/pci.ids";

struct PciDatabase {
    std::string path;  // the file these tables came from
    bool loaded = false;
    std::unordered_map<std::uint16_t, std::string> vendors;
    std::unordered_map<std::uint32_t, std::string> devices;  // vendor << 16 | device
};

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
void Parse(std::istream& in, PciDatabase& db) {
    std::string line;
    bool inVendor = false;
    std::uint16_t vendor = 0;
    while (std::getline(in, line)) {
        std::string_view text = line;
        if (text.empty() || text[0] == '#')
            continue;
        if (text[0] != '\t') {
            std::uint16_t id;
            inVendor = ParseId(text, id);
            if (inVendor) {
                vendor = id;
                db.vendors.emplace(vendor, NameAfterId(text));
            }
            continue;
        }
        if (!inVendor || text.size() < 2 || text[1] == '\t')
            continue;
        std::uint16_t device;
        std::string_view rest = text.substr(1);
        if (ParseId(rest, device)) {
            db.devices.emplace(static_cast<std::uint32_t>(vendor) << 16 | device,
                               NameAfterId(rest));
        }
    }
}

std::mutex gMutex;
PciDatabase gDatabase;

// Returns the database for the current path, reading it when the path is new. gMutex held.
const PciDatabase& Database() {
    const char* overridden = std::getenv("TQV_PCI_IDS");
    std::string path = (overridden && overridden[0]) ? overridden : kDefaultDatabase;
    if (!gDatabase.loaded || gDatabase.path != path) {
        gDatabase = PciDatabase{};
        gDatabase.path = path;
        gDatabase.loaded = true;
        std::ifstream in(path);
        if (in)
            Parse(in, gDatabase);
    }
    return gDatabase;
}

}  // namespace

std::string PciDeviceName(std::uint16_t vendor, std::uint16_t device) {
    std::lock_guard<std::mutex> lock(gMutex);
    const PciDatabase& db = Database();
    auto it = db.devices.find(static_cast<std::uint32_t>(vendor) << 16 | device);
    return it == db.devices.end() ? std::string() : it->second;
}

std::string PciVendorName(std::uint16_t vendor) {
    std::lock_guard<std::mutex> lock(gMutex);
    const PciDatabase& db = Database();
    auto it = db.vendors.find(vendor);
    return it == db.vendors.end() ? std::string() : it->second;
}

}  // namespace tqv::platform
