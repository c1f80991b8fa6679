#include "platform/system_info.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/file_io.h"
#include "platform/fs_roots.h"
#include "platform/hex.h"
#include "platform/pci_ids.h"

namespace fs = std::filesystem;

namespace tqv::platform {

namespace {

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    std::size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

// The first line of a small sysfs or procfs file, trimmed; empty when unreadable.
std::string ReadLine(const fs::path& path) {
    std::string content;
    if (!ReadWholeFile(path.string(), content))
        return {};
    std::string_view text = content;
    std::size_t newline = text.find('\n');
    if (newline != std::string_view::npos)
        text = text.substr(0, newline);
    return std::string(Trim(text));
}

// A hexadecimal id file such as a PCI "vendor" ("0x8086") or a USB "idVendor" ("046d").
bool ReadHexId(const fs::path& path, unsigned& id) {
    const std::string line = ReadLine(path);
    std::string_view text = line;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    std::uint16_t value = 0;
    if (!ParseHex16(text, value))
        return false;
    id = value;
    return true;
}

std::string LinkName(const fs::path& link) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec)
        return {};
    return target.filename().string();
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

// The name of a PCI function or USB device at `dir`, or empty when `dir` is neither.
std::string DeviceDescription(const fs::path& dir) {
    std::string bus = LinkName(dir / "subsystem");
    if (bus == "pci") {
        unsigned vendor = 0, device = 0;
        if (!ReadHexId(dir / "vendor", vendor) || !ReadHexId(dir / "device", device))
            return {};
        std::string name =
            PciDeviceName(static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(device));
        if (!name.empty())
            return name;
        std::string vendorName = PciVendorName(static_cast<std::uint16_t>(vendor));
        if (!vendorName.empty())
            return vendorName + " Device " + Hex4(device);
        return "PCI device " + Hex4(vendor) + ":" + Hex4(device);
    }
    if (bus == "usb") {
        // The adapter's link leads to a USB interface; the product string sits on the device
        // above it, next to idVendor and idProduct.
        unsigned vendor = 0, product = 0;
        if (!ReadHexId(dir / "idVendor", vendor))
            return {};
        std::string name = ReadLine(dir / "product");
        if (!name.empty())
            return name;
        if (!ReadHexId(dir / "idProduct", product))
            return {};
        return "USB device " + Hex4(vendor) + ":" + Hex4(product);
    }
    return {};
}

std::string DescribeAdapter(const fs::path& interfaceDir, const fs::path& sysfsRoot) {
    std::error_code ec;
    fs::path dir = fs::canonical(interfaceDir / "device", ec);
    if (!ec) {
        fs::path root = fs::weakly_canonical(sysfsRoot, ec);
        // Walk from the adapter's device towards the root of the device tree; the depth bound
        // guards against a malformed tree.
        for (int depth = 0; depth < 32 && !dir.empty(); ++depth) {
            if (dir == root || dir == dir.root_path())
                break;
            std::string name = DeviceDescription(dir);
            if (!name.empty())
                return name;
            dir = dir.parent_path();
        }
    }
    std::string driver = LinkName(interfaceDir / "device" / "driver");
    if (!driver.empty())
        return driver;
    return interfaceDir.filename().string();
}

bool IsKeyCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// One os-release value after the '='. False when the quoting is broken.
bool ParseValue(std::string_view raw, std::string& value) {
    value.clear();
    raw = Trim(raw);
    if (raw.empty())
        return true;
    if (raw[0] == '"') {
        for (std::size_t i = 1; i < raw.size(); ++i) {
            char c = raw[i];
            if (c == '"')
                return Trim(raw.substr(i + 1)).empty();
            if (c == '\\' && i + 1 < raw.size() &&
                (raw[i + 1] == '"' || raw[i + 1] == '\\' || raw[i + 1] == '$' ||
                 raw[i + 1] == '`')) {
                c = raw[++i];
            }
            value.push_back(c);
        }
        return false;
    }
    if (raw[0] == '\'') {
        std::size_t close = raw.find('\'', 1);
        if (close == std::string_view::npos || !Trim(raw.substr(close + 1)).empty())
            return false;
        value.assign(raw.substr(1, close - 1));
        return true;
    }
    value.assign(raw);
    return true;
}

}  // namespace

std::string NetworkAdapterDescription() {
    fs::path sysfs = SysfsRoot();
    fs::path classNet = sysfs / "class" / "net";
    std::error_code ec;
    struct Candidate {
        long long index;
        std::string name;
    };
    std::vector<Candidate> candidates;
    fs::directory_iterator it(classNet, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code deviceError;
        if (!fs::is_directory(it->path() / "device", deviceError))
            continue;
        long long index = LLONG_MAX;
        std::string text = ReadLine(it->path() / "ifindex");
        if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
            text.size() < 18) {
            index = std::stoll(text);
        }
        candidates.push_back({index, name});
    }
    if (candidates.empty())
        return {};
    auto first = std::min_element(
        candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return a.index != b.index ? a.index < b.index : a.name < b.name;
        });
    return DescribeAdapter(classNet / first->name, sysfs);
}

std::map<std::string, std::string> ParseOsRelease(std::string_view text) {
    std::map<std::string, std::string> values;
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t equals = line.find('=');
        if (equals == 0 || equals == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, equals);
        if (!std::all_of(key.begin(), key.end(), IsKeyCharacter))
            continue;
        std::string value;
        if (!ParseValue(line.substr(equals + 1), value))
            continue;
        values[std::string(key)] = std::move(value);
    }
    return values;
}

OsVersionFacts ReadOsVersionFacts() {
    OsVersionFacts facts;
    std::string etc = EtcRoot();
    std::string content;
    if (ReadWholeFile(etc + "/os-release", content) ||
        ReadWholeFile(etc + "/../usr/lib/os-release", content)) {
        auto values = ParseOsRelease(content);
        facts.productName = values["NAME"];
        facts.displayVersion = values["VERSION_ID"];
        if (facts.displayVersion.empty())
            facts.displayVersion = values["BUILD_ID"];
    }
    facts.currentBuild = ReadLine(fs::path(ProcfsRoot()) / "sys" / "kernel" / "osrelease");
    return facts;
}

std::vector<std::string> ParseSoundCards(std::string_view text) {
    std::vector<std::string> names;
    bool pending = false;  // a card line whose long name line has not come yet
    std::string shortName;
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        std::string_view trimmed = Trim(line);
        // A card line: its number, a blank, then "[id ]: driver - short name".
        std::size_t digits = 0;
        while (digits < trimmed.size() && trimmed[digits] >= '0' && trimmed[digits] <= '9')
            ++digits;
        bool cardLine = digits > 0 && trimmed.substr(digits).starts_with(" [") &&
                        trimmed.find("]:") != std::string_view::npos;
        if (cardLine) {
            if (pending && !shortName.empty())
                names.push_back(shortName);
            std::string_view rest = trimmed.substr(trimmed.find("]:") + 2);
            std::size_t dash = rest.find(" - ");
            shortName =
                std::string(Trim(dash == std::string_view::npos ? rest : rest.substr(dash + 3)));
            pending = true;
            continue;
        }
        if (pending) {
            std::string longName(trimmed);
            names.push_back(longName.empty() ? shortName : longName);
            if (names.back().empty())
                names.pop_back();
            pending = false;
        }
    }
    if (pending && !shortName.empty())
        names.push_back(shortName);
    return names;
}

std::vector<std::string> SoundCardNames() {
    std::string content;
    if (!ReadWholeFile(ProcfsRoot() + "/asound/cards", content))
        return {};
    return ParseSoundCards(content);
}

}  // namespace tqv::platform
