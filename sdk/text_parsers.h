// Pure parsers and arithmetic for what the kernel reports: /proc/cpuinfo, /proc/stat,
// /proc/diskstats, /proc/meminfo, SMBIOS memory device records, counters that wrap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tqv::sdk {

// The processor's name from /proc/cpuinfo: "model name" (x86), else "Model" or "Hardware" (Arm),
// "cpu" (POWER) or "uarch" (RISC-V) of the first processor; blanks collapsed. Empty when none.
std::string CpuNameFromCpuinfo(std::string_view cpuinfo);

// The first "cpu MHz" value in /proc/cpuinfo.
std::optional<double> CpuMhzFromCpuinfo(std::string_view cpuinfo);

// The aggregate "cpu" line of /proc/stat as busy and total jiffies. Guest time is already part
// of user and nice time, so it is not added again; idle and iowait are not busy.
struct CpuTimes {
    std::uint64_t busy = 0;
    std::uint64_t total = 0;
};
std::optional<CpuTimes> ParseCpuStat(std::string_view stat);

// Percent of busy time between two samples; none when no time passed or the counters went back.
std::optional<double> LoadBetween(const CpuTimes& before, const CpuTimes& after);

// The milliseconds spent doing I/O (the tenth value after the name) of disk `name` in
// /proc/diskstats.
std::optional<std::uint64_t> DiskIoTicks(std::string_view diskstats, std::string_view name);

// Percent of wall time a disk was busy: io ticks (ms) over elapsed time (µs), at most 100.
std::optional<double> BusyPercent(std::uint64_t ticksBefore, std::uint64_t ticksAfter,
                                  std::int64_t elapsedUs);

// MemTotal of /proc/meminfo in kB.
std::optional<std::uint64_t> MemTotalKb(std::string_view meminfo);

// The installed memory a kernel total stands for, in MB. The kernel keeps part of the memory
// for itself (its image, page tables, firmware areas), so its total falls a few percent short of
// what is installed; installed sizes are coarse, so the total is rounded up to a step of a
// quarter of the largest power of two below it: 15.5 GiB reads 16 GiB, 3.7 GiB reads 4 GiB,
// 23.5 GiB reads 24 GiB, 62.9 GiB reads 64 GiB.
std::int32_t InstalledMegabytesFromKernelTotal(std::uint64_t totalKb);

// One SMBIOS memory device record (type 17) as the kernel exports it in
// /sys/firmware/dmi/entries/17-N/raw: its formatted area followed by its strings.
struct MemoryModule {
    bool installed = false;
    std::uint64_t megabytes = 0;
    int smbiosType = 0;        // the record's memory type byte (0x18 DDR3, 0x1A DDR4, ...)
    std::string manufacturer;  // empty when absent or a placeholder
};
std::optional<MemoryModule> ParseMemoryDevice(std::string_view raw);

// The library's memory kind code for an SMBIOS memory type: 9 DDR3 (and LPDDR3), 10 DDR4,
// 11 LPDDR4; 12 DDR5 and 13 LPDDR5; 0 for anything else.
std::int32_t MemoryKindCode(int smbiosType);

// Growth of an energy counter that counts up to `maxRange` and starts again at 0. None when the
// counter went back and no range is known.
std::optional<std::uint64_t> CounterDelta(std::uint64_t before, std::uint64_t after,
                                          std::uint64_t maxRange);

// A DMI or SMBIOS text with placeholders ("To be filled by O.E.M.", "Default string",
// "Not Specified", "Unknown", ...) and blanks removed; empty when nothing real is left.
std::string CleanDmiText(std::string_view text);

// "A B" of the non-empty parts.
std::string JoinNonEmpty(const std::string& a, const std::string& b);

}  // namespace tqv::sdk
