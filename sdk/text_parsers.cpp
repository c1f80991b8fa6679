#include "sdk/text_parsers.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "sdk/kept_file.h"

namespace tqv::sdk {
namespace {

// Calls `fn(key, value)` for each "key : value" line until it returns true.
template <typename Fn>
void ForEachKeyValue(std::string_view text, Fn fn) {
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        if (fn(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))))
            return;
    }
}

std::string CollapseBlanks(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : Trim(text)) {
        bool isBlank = c == ' ' || c == '\t';
        if (isBlank) {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        // Control bytes never reach a caption.
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out;
}

// Splits "name v0 v1 ..." fields separated by blanks.
template <std::size_t N>
std::size_t SplitFields(std::string_view line, std::array<std::string_view, N>& fields) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (count < N) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string_view::npos)
            break;
        auto end = line.find_first_of(" \t", pos);
        fields[count++] = line.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (end == std::string_view::npos)
            break;
        pos = end;
    }
    return count;
}

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
    std::int64_t signedValue = 0;
    if (!ParseInteger(text, signedValue) || signedValue < 0)
        return false;
    value = static_cast<std::uint64_t>(signedValue);
    return true;
}

}  // namespace

std::string CpuNameFromCpuinfo(std::string_view cpuinfo) {
    static constexpr std::array<std::string_view, 6> kKeys = {"model name", "Model", "Hardware",
                                                              "cpu model",  "cpu",   "uarch"};
    for (std::string_view wanted : kKeys) {
        std::string name;
        ForEachKeyValue(cpuinfo, [&](std::string_view key, std::string_view value) {
            if (key != wanted || value.empty())
                return false;
            name = CollapseBlanks(value);
            return true;
        });
        if (!name.empty())
            return name;
    }
    return {};
}

std::optional<double> CpuMhzFromCpuinfo(std::string_view cpuinfo) {
    std::optional<double> mhz;
    ForEachKeyValue(cpuinfo, [&](std::string_view key, std::string_view value) {
        if (key != "cpu MHz")
            return false;
        double parsed = 0;
        if (ParseDouble(value, parsed) && std::isfinite(parsed) && parsed > 0)
            mhz = parsed;
        return true;
    });
    return mhz;
}

std::optional<CpuTimes> ParseCpuStat(std::string_view stat) {
    while (!stat.empty()) {
        auto end = stat.find('\n');
        std::string_view line = stat.substr(0, end);
        stat = end == std::string_view::npos ? std::string_view{} : stat.substr(end + 1);
        std::array<std::string_view, 11> fields{};
        std::size_t count = SplitFields(line, fields);
        if (count == 0 || fields[0] != "cpu")
            continue;
        // user nice system idle iowait irq softirq steal: at least the first four are needed.
        if (count < 5)
            return std::nullopt;
        std::uint64_t values[8] = {};
        std::size_t used = count - 1 < 8 ? count - 1 : 8;
        for (std::size_t i = 0; i < used; ++i) {
            if (!ParseUnsigned(fields[i + 1], values[i]))
                return std::nullopt;
        }
        CpuTimes times;
        for (std::size_t i = 0; i < used; ++i)
            times.total += values[i];
        times.busy = times.total - values[3] - values[4];
        return times;
    }
    return std::nullopt;
}

std::optional<double> LoadBetween(const CpuTimes& before, const CpuTimes& after) {
    if (after.total <= before.total || after.busy < before.busy)
        return std::nullopt;
    double total = static_cast<double>(after.total - before.total);
    double busy = static_cast<double>(after.busy - before.busy);
    double percent = busy / total * 100.0;
    return percent > 100.0 ? 100.0 : percent;
}

std::optional<std::uint64_t> DiskIoTicks(std::string_view diskstats, std::string_view name) {
    while (!diskstats.empty()) {
        auto end = diskstats.find('\n');
        std::string_view line = diskstats.substr(0, end);
        diskstats = end == std::string_view::npos ? std::string_view{} : diskstats.substr(end + 1);
        std::array<std::string_view, 14> fields{};
        std::size_t count = SplitFields(line, fields);
        if (count < 3 || fields[2] != name)
            continue;
        // major minor name, then io ticks as the tenth value.
        if (count < 13)
            return std::nullopt;
        std::uint64_t ticks = 0;
        if (!ParseUnsigned(fields[12], ticks))
            return std::nullopt;
        return ticks;
    }
    return std::nullopt;
}

std::optional<double> BusyPercent(std::uint64_t ticksBefore, std::uint64_t ticksAfter,
                                  std::int64_t elapsedUs) {
    if (elapsedUs <= 0 || ticksAfter < ticksBefore)
        return std::nullopt;
    double percent = static_cast<double>(ticksAfter - ticksBefore) * 1000.0 /
                     static_cast<double>(elapsedUs) * 100.0;
    return percent > 100.0 ? 100.0 : percent;
}

std::optional<std::uint64_t> MemTotalKb(std::string_view meminfo) {
    std::optional<std::uint64_t> total;
    ForEachKeyValue(meminfo, [&](std::string_view key, std::string_view value) {
        if (key != "MemTotal")
            return false;
        auto unit = value.find(' ');
        std::uint64_t kb = 0;
        if (ParseUnsigned(value.substr(0, unit), kb) && kb > 0)
            total = kb;
        return true;
    });
    return total;
}

std::int32_t InstalledMegabytesFromKernelTotal(std::uint64_t totalKb) {
    if (totalKb == 0)
        return -1;
    std::uint64_t mb = (totalKb + 1023) / 1024;
    std::uint64_t power = 1;
    while (power * 2 <= mb)
        power *= 2;
    std::uint64_t step = power >= 4 ? power / 4 : 1;
    std::uint64_t rounded = (mb + step - 1) / step * step;
    if (rounded > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(rounded);
}

std::optional<MemoryModule> ParseMemoryDevice(std::string_view raw) {
    // Formatted area: type (0), length (1), ..., size (0x0C, word), memory type (0x12),
    // manufacturer string number (0x17), extended size (0x1C, dword).
    if (raw.size() < 0x15 || static_cast<unsigned char>(raw[0]) != 17)
        return std::nullopt;
    std::size_t length = static_cast<unsigned char>(raw[1]);
    if (length < 0x15 || length > raw.size())
        return std::nullopt;
    auto byteAt = [&](std::size_t offset) { return static_cast<unsigned char>(raw[offset]); };
    auto wordAt = [&](std::size_t offset) {
        return static_cast<unsigned>(byteAt(offset) | byteAt(offset + 1) << 8);
    };

    MemoryModule module;
    unsigned size = wordAt(0x0C);
    if (size == 0 || size == 0xFFFF) {
        module.installed = false;
    } else if (size == 0x7FFF && length >= 0x20) {
        std::uint64_t extended = wordAt(0x1C) | static_cast<std::uint64_t>(wordAt(0x1E)) << 16;
        module.megabytes = extended & 0x7FFFFFFFu;
        module.installed = module.megabytes > 0;
    } else if (size & 0x8000) {
        module.megabytes = (size & 0x7FFF) / 1024;  // given in KB
        module.installed = true;
    } else {
        module.megabytes = size;
        module.installed = true;
    }
    module.smbiosType = byteAt(0x12);

    unsigned manufacturerIndex = length > 0x17 ? byteAt(0x17) : 0;
    if (manufacturerIndex > 0) {
        // Strings follow the formatted area, each NUL-terminated, numbered from 1.
        std::string_view strings = raw.substr(length);
        for (unsigned index = 1; !strings.empty(); ++index) {
            auto end = strings.find('\0');
            std::string_view text = strings.substr(0, end);
            if (text.empty())
                break;  // the set's closing NUL
            if (index == manufacturerIndex) {
                module.manufacturer = CleanDmiText(text);
                break;
            }
            if (end == std::string_view::npos)
                break;
            strings.remove_prefix(end + 1);
        }
    }
    return module;
}

std::int32_t MemoryKindCode(int smbiosType) {
    switch (smbiosType) {
        case 0x18:  // DDR3
        case 0x1D:  // LPDDR3
            return 9;
        case 0x1A:  // DDR4
            return 10;
        case 0x1E:  // LPDDR4
            return 11;
        case 0x22:  // DDR5
            return 12;
        case 0x23:  // LPDDR5
            return 13;
        default:
            return 0;
    }
}

std::optional<std::uint64_t> CounterDelta(std::uint64_t before, std::uint64_t after,
                                          std::uint64_t maxRange) {
    if (after >= before)
        return after - before;
    if (maxRange == 0 || before > maxRange)
        return std::nullopt;
    return (maxRange - before) + after;
}

std::string CleanDmiText(std::string_view text) {
    std::string cleaned = CollapseBlanks(text);
    static constexpr std::array<std::string_view, 14> kPlaceholders = {"To be filled by O.E.M.",
                                                                       "To Be Filled By O.E.M.",
                                                                       "Default string",
                                                                       "Not Specified",
                                                                       "Not Applicable",
                                                                       "Unknown",
                                                                       "Undefined",
                                                                       "None",
                                                                       "System manufacturer",
                                                                       "System Product Name",
                                                                       "O.E.M.",
                                                                       "OEM",
                                                                       "Not Available",
                                                                       "N/A"};
    for (std::string_view placeholder : kPlaceholders) {
        if (cleaned.size() == placeholder.size() &&
            ::strncasecmp(cleaned.c_str(), placeholder.data(), placeholder.size()) == 0) {
            return {};
        }
    }
    return cleaned;
}

std::string JoinNonEmpty(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + " " + b;
}

}  // namespace tqv::sdk
