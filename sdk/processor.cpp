// The processor device: name, package temperature, clock, package power and load.
#include <algorithm>
#include <array>

#include "sdk/discovery.h"
#include "sdk/text_parsers.h"

namespace tqv::sdk {
namespace {

// Load over the time between two reads of /proc/stat's aggregate line.
class CpuLoadSource : public TwoSampleSource<CpuTimes> {
  public:
    explicit CpuLoadSource(const std::string& statPath) : stat_(statPath) {}

  protected:
    std::optional<CpuTimes> TakeSample(const ReadContext&) override {
        // The aggregate line comes first; the rest of the file is not needed.
        auto text = stat_.Read(512);
        return text ? ParseCpuStat(*text) : std::nullopt;
    }
    std::optional<double> Between(const CpuTimes& earlier, const CpuTimes& later,
                                  std::int64_t) override {
        return LoadBetween(earlier, later);
    }

  private:
    KeptFile stat_;
};

// Package power from a RAPL energy counter (µJ) over the time between two reads. The counter
// starts again at 0 after max_energy_range_uj.
class RaplPowerSource : public TwoSampleSource<std::uint64_t> {
  public:
    RaplPowerSource(KeptFile energy, std::uint64_t maxRange)
        : energy_(std::move(energy)), maxRange_(maxRange) {}

  protected:
    std::optional<std::uint64_t> TakeSample(const ReadContext&) override {
        auto value = energy_.ReadInteger();
        if (!value || *value < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(*value);
    }
    std::optional<double> Between(const std::uint64_t& earlier, const std::uint64_t& later,
                                  std::int64_t elapsedUs) override {
        auto delta = CounterDelta(earlier, later, maxRange_);
        if (!delta)
            return std::nullopt;
        // µJ per µs is W.
        return static_cast<double>(*delta) / static_cast<double>(elapsedUs);
    }

  private:
    KeptFile energy_;
    std::uint64_t maxRange_;
};

// The processor clock, read cheaply: the first policy's scaling_cur_freq where cpufreq exists,
// else the first "cpu MHz" of /proc/cpuinfo. Neither is read more often than it allows: cpuinfo
// at most every few seconds, and any source whose read turns out slow (some kernels measure the
// frequency with a cross-processor call on each read) is read at most once per thousand times
// its cost, so the clock never takes more than a thousandth of the time.
class CpuClockSource : public Source {
  public:
    CpuClockSource(KeptFile file, bool cpuinfo) : file_(std::move(file)), cpuinfo_(cpuinfo) {}

    std::optional<double> Read(const ReadContext& context) override {
        if (last_ && context.nowUs < nextReadUs_)
            return last_;
        std::int64_t started = RealMonotonicUs();
        std::optional<double> mhz;
        if (cpuinfo_) {
            // The first processor's block is all that is needed.
            if (auto text = file_.Read(4096))
                mhz = CpuMhzFromCpuinfo(*text);
        } else if (auto khz = file_.ReadInteger(); khz && *khz > 0) {
            mhz = static_cast<double>(*khz) / 1000.0;
        }
        std::int64_t cost = RealMonotonicUs() - started;
        std::int64_t interval = cpuinfo_ ? kCpuinfoIntervalUs : 0;
        if (cost > kSlowReadUs)
            interval = std::max(interval, std::min(cost * 1000, kMaxIntervalUs));
        nextReadUs_ = context.nowUs + interval;
        if (mhz)
            last_ = mhz;
        return last_;
    }

  private:
    static constexpr std::int64_t kCpuinfoIntervalUs = 5000000;
    static constexpr std::int64_t kSlowReadUs = 1000;
    static constexpr std::int64_t kMaxIntervalUs = 60000000;

    KeptFile file_;
    bool cpuinfo_;
    std::optional<double> last_;
    std::int64_t nextReadUs_ = 0;
};

bool IsPackageLabel(const std::string& prefix, const std::string& label) {
    if (prefix == "coretemp")
        return label.rfind("Package id", 0) == 0;
    return false;
}

// The chip's package temperature feature: coretemp "Package id N"; k10temp and zenpower Tdie
// where present, otherwise Tctl; any other processor chip its first temperature.
std::optional<std::size_t> PackageFeature(const HwmonChip& chip) {
    std::optional<std::size_t> first;
    std::optional<std::size_t> tctl;
    for (std::size_t f = 0; f < chip.features.size(); ++f) {
        const auto& feature = chip.features[f];
        if (feature.kind != HwmonKind::Temperature)
            continue;
        if (!first)
            first = f;
        if (IsPackageLabel(chip.prefix, feature.label))
            return f;
        if (chip.prefix == "k10temp" || chip.prefix == "zenpower") {
            if (feature.label == "Tdie")
                return f;
            if (feature.label == "Tctl" && !tctl)
                tctl = f;
        }
    }
    if (tctl)
        return tctl;
    if (chip.prefix == "coretemp")
        return std::nullopt;  // a chip without a package line
    return first;
}

int ChipRank(const std::string& prefix) {
    static constexpr std::array<const char*, 5> kOrder = {"coretemp", "k10temp", "zenpower",
                                                          "k8temp", "cpu_thermal"};
    for (std::size_t i = 0; i < kOrder.size(); ++i) {
        if (prefix == kOrder[i])
            return static_cast<int>(i);
    }
    return static_cast<int>(kOrder.size());
}

void AddTemperatures(Discovery& discovery, Device& processor) {
    const auto& chips = discovery.hwmon->Chips();
    std::vector<std::size_t> order;
    for (std::size_t c = 0; c < chips.size(); ++c) {
        if (!discovery.chipClaimed[c] && IsProcessorChip(chips[c].prefix))
            order.push_back(c);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (ChipRank(chips[a].prefix) != ChipRank(chips[b].prefix)) {
            return ChipRank(chips[a].prefix) < ChipRank(chips[b].prefix);
        }
        return chips[a].address < chips[b].address;
    });

    // Sensor 0 is the package temperature of the first processor chip that has one.
    std::optional<std::pair<std::size_t, std::size_t>> package;
    for (std::size_t c : order) {
        if (auto f = PackageFeature(chips[c])) {
            package = std::make_pair(c, *f);
            break;
        }
    }
    if (package) {
        processor.Add(
            kSlotTemperature, chips[package->first].features[package->second].label,
            std::make_unique<HwmonSource>(discovery.hwmon, package->first, package->second));
    }
    for (std::size_t c : order) {
        discovery.chipClaimed[c] = true;
        const auto& features = chips[c].features;
        for (std::size_t f = 0; f < features.size(); ++f) {
            if (features[f].kind != HwmonKind::Temperature)
                continue;
            if (package && package->first == c && package->second == f)
                continue;
            processor.Add(kSlotTemperature, features[f].label,
                          std::make_unique<HwmonSource>(discovery.hwmon, c, f));
        }
    }
}

void AddClock(Discovery& discovery, Device& processor) {
    std::string cpu = discovery.sys + "/devices/system/cpu/";
    for (const std::string& path :
         {cpu + "cpufreq/policy0/scaling_cur_freq", cpu + "cpu0/cpufreq/scaling_cur_freq"}) {
        KeptFile file(path);
        if (file.IsOpen() && file.ReadInteger()) {
            processor.Add(kSlotClock, "Core #0 Clock",
                          std::make_unique<CpuClockSource>(std::move(file), false));
            return;
        }
    }
    KeptFile cpuinfo(discovery.proc + "/cpuinfo");
    if (auto text = cpuinfo.Read(4096); text && CpuMhzFromCpuinfo(*text)) {
        processor.Add(kSlotClock, "Core #0 Clock",
                      std::make_unique<CpuClockSource>(std::move(cpuinfo), true));
    }
}

void AddPower(Discovery& discovery, Device& processor) {
    // Package zones only ("package-0", ...): the psys and sub-zones are not the processor.
    std::string powercap = discovery.sys + "/class/powercap/";
    for (const std::string& zone : ListFolder(powercap, "intel-rapl:")) {
        if (zone.find(':', std::string("intel-rapl:").size()) != std::string::npos)
            continue;
        std::string folder = powercap + zone + "/";
        std::string name = ReadTrimmedLine(folder + "name");
        if (name.rfind("package", 0) != 0)
            continue;
        // Current kernels let only root read the counter; without it there is no power sensor.
        KeptFile energy(folder + "energy_uj");
        if (!energy.IsOpen() || !energy.ReadInteger())
            continue;
        std::int64_t maxRange = 0;
        if (auto text = ReadSmallFile(folder + "max_energy_range_uj", 64)) {
            if (!ParseInteger(*text, maxRange) || maxRange < 0)
                maxRange = 0;
        }
        std::string label = "Package";
        if (name.size() > 8)
            label += " " + name.substr(8);  // "package-1" reads "Package 1"
        processor.Add(kSlotPower, label,
                      std::make_unique<RaplPowerSource>(std::move(energy),
                                                        static_cast<std::uint64_t>(maxRange)));
    }
}

}  // namespace

void DiscoverProcessor(Discovery& discovery, Device& processor) {
    if (auto cpuinfo = ReadSmallFile(discovery.proc + "/cpuinfo", 1 << 20)) {
        processor.label = CpuNameFromCpuinfo(*cpuinfo);
    }
    AddTemperatures(discovery, processor);
    AddClock(discovery, processor);
    AddPower(discovery, processor);
    if (KeptFile stat(discovery.proc + "/stat"); stat.IsOpen()) {
        processor.Add(kSlotLoad, "CPU Total",
                      std::make_unique<CpuLoadSource>(discovery.proc + "/stat"));
    }
}

std::unique_ptr<Source> DiscoverCpuThermalZone(Discovery& discovery) {
    std::string thermal = discovery.sys + "/class/thermal/";
    std::vector<std::string> zones = ListFolder(thermal, "thermal_zone");
    for (const char* wanted : {"x86_pkg_temp", "cpu-thermal", "cpu_thermal", "acpitz"}) {
        for (const std::string& zone : zones) {
            if (ReadTrimmedLine(thermal + zone + "/type") != wanted)
                continue;
            std::string path = thermal + zone + "/temp";
            if (!KeptFile(path).ReadInteger())
                continue;
            return std::make_unique<ScaledFileSource>(path, 0.001);
        }
    }
    return nullptr;
}

}  // namespace tqv::sdk
