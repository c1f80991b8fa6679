// Graphics cards: every PCI display controller. NVIDIA cards on the proprietary driver are read
// through NVML; the others through their hwmon chip (temperature, fan, power) and the driver's
// own files (clock, load). A card in runtime suspend is not touched at all.
#include <unistd.h>

#include <cstdio>

#include "platform/pci_ids.h"
#include "sdk/discovery.h"
#include "sdk/nvml.h"
#include "sdk/text_parsers.h"

namespace tqv::sdk {
namespace {

constexpr std::uint16_t kVendorNvidia = 0x10de;

std::optional<std::uint16_t> ReadHexId(const std::string& path) {
    std::string text = ReadTrimmedLine(path);
    unsigned value = 0;
    if (std::sscanf(text.c_str(), "%x", &value) != 1 || value > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::string DriverOf(const std::string& device) {
    char target[512];
    ssize_t length = ::readlink((device + "/driver").c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    target[length] = '\0';
    std::string path = target;
    return path.substr(path.rfind('/') + 1);
}

// NVML, loaded the first time an NVIDIA card is awake and asked for, and only then: loading it
// while every card sleeps could wake them.
struct NvmlProvider {
    bool tried = false;
    std::unique_ptr<Nvml> nvml;
    Nvml* Get() {
        if (!tried) {
            tried = true;
            nvml = Nvml::Load();
        }
        return nvml.get();
    }
};

struct NvmlCard {
    std::shared_ptr<NvmlProvider> provider;
    std::string address;
    Nvml::Device device = nullptr;
    bool resolved = false;

    Nvml* Library() { return provider->Get(); }
    Nvml::Device Handle() {
        Nvml* nvml = Library();
        if (!nvml)
            return nullptr;
        if (!resolved) {
            device = nvml->DeviceAt(address);
            resolved = device != nullptr;
        }
        return device;
    }
};

enum class NvmlValue { Temperature, Clock, Fan, Power, Load };

class NvmlSource : public Source {
  public:
    NvmlSource(std::shared_ptr<NvmlCard> card, NvmlValue value)
        : card_(std::move(card)), value_(value) {}

    std::optional<double> Read(const ReadContext&) override {
        Nvml::Device device = card_->Handle();
        if (!device)
            return std::nullopt;
        Nvml& nvml = *card_->Library();
        switch (value_) {
            case NvmlValue::Temperature:
                return nvml.TemperatureC(device);
            case NvmlValue::Clock:
                return nvml.GraphicsClockMhz(device);
            case NvmlValue::Fan:
                return nvml.FanRpm(device);
            case NvmlValue::Power:
                return nvml.PowerW(device);
            case NvmlValue::Load:
                return nvml.UtilisationPct(device);
        }
        return std::nullopt;
    }

  private:
    std::shared_ptr<NvmlCard> card_;
    NvmlValue value_;
};

// The shader clock amdgpu marks with '*' in pp_dpm_sclk ("1: 2105Mhz *").
class DpmClockSource : public Source {
  public:
    explicit DpmClockSource(std::string path) : path_(std::move(path)) {}
    std::optional<double> Read(const ReadContext&) override {
        if (!file_.IsOpen() && !file_.Open(path_))
            return std::nullopt;
        auto text = file_.Read(1024);
        if (!text)
            return std::nullopt;
        std::string_view rest = *text;
        while (!rest.empty()) {
            auto end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
            if (line.find('*') == std::string_view::npos)
                continue;
            auto colon = line.find(':');
            if (colon == std::string_view::npos)
                return std::nullopt;
            std::string value(Trim(line.substr(colon + 1)));
            double mhz = 0;
            if (std::sscanf(value.c_str(), "%lf", &mhz) != 1)
                return std::nullopt;
            return mhz;
        }
        return std::nullopt;
    }

  private:
    std::string path_;
    KeptFile file_;
};

void AddNvidia(Discovery& discovery, Device& card, const std::string& address,
               const std::shared_ptr<PowerGate>& gate, std::shared_ptr<NvmlProvider>& provider) {
    if (!provider) {
        provider = std::make_shared<NvmlProvider>();
        discovery.shared.push_back(provider);
    }
    auto nvmlCard = std::make_shared<NvmlCard>();
    nvmlCard->provider = provider;
    nvmlCard->address = address;

    struct Entry {
        int slot;
        const char* name;
        NvmlValue value;
    };
    static constexpr Entry kEntries[] = {
        {kSlotTemperature, "GPU Temperature", NvmlValue::Temperature},
        {kSlotClock, "GPU Graphics Clock", NvmlValue::Clock},
        {kSlotFan, "GPU Fan", NvmlValue::Fan},
        {kSlotPower, "GPU Power", NvmlValue::Power},
        {kSlotLoad, "GPU Utilization", NvmlValue::Load},
    };
    bool awake = gate->Awake(discovery.first);
    if (awake) {
        if (Nvml* nvml = nvmlCard->Library(); nvml && card.label.empty()) {
            if (auto name = nvml->Name(nvmlCard->Handle()))
                card.label = *name;
        }
    }
    for (const Entry& entry : kEntries) {
        auto source = std::make_unique<NvmlSource>(nvmlCard, entry.value);
        if (awake) {
            // An awake card says what it measures; a fan given only as a percentage has no
            // RPM reading and so no fan sensor.
            if (!source->Read(discovery.first))
                continue;
        } else if (entry.value == NvmlValue::Fan) {
            // A sleeping card cannot be asked; its fan is left out rather than guessed.
            continue;
        }
        card.Add(entry.slot, entry.name, std::move(source), gate);
    }
}

void AddHwmonValues(Discovery& discovery, Device& card, std::size_t chipIndex,
                    const std::shared_ptr<PowerGate>& gate) {
    const HwmonChip& chip = discovery.hwmon->Chips()[chipIndex];
    std::optional<std::size_t> temperature, fan, power, energy;
    bool temperaturePreferred = false;
    for (std::size_t f = 0; f < chip.features.size(); ++f) {
        const auto& feature = chip.features[f];
        switch (feature.kind) {
            case HwmonKind::Temperature: {
                // amdgpu's edge, xe's package; otherwise the first.
                bool preferred = feature.label == "edge" || feature.label == "pkg";
                if (!temperature || (preferred && !temperaturePreferred)) {
                    temperature = f;
                    temperaturePreferred = preferred;
                }
                break;
            }
            case HwmonKind::Fan:
                if (!fan)
                    fan = f;
                break;
            case HwmonKind::Power:
                if (!power)
                    power = f;
                break;
            case HwmonKind::Energy:
                if (!energy)
                    energy = f;
                break;
        }
    }
    auto hwmon = [&](std::size_t f) {
        return std::make_unique<HwmonSource>(discovery.hwmon, chipIndex, f);
    };
    if (temperature) {
        card.Add(kSlotTemperature, "GPU Temperature", hwmon(*temperature), gate);
    }
    if (fan)
        card.Add(kSlotFan, "GPU Fan", hwmon(*fan), gate);
    if (power) {
        card.Add(kSlotPower, "GPU Power", hwmon(*power), gate);
    } else if (energy) {
        card.Add(kSlotPower, "GPU Power",
                 std::make_unique<HwmonEnergyPowerSource>(discovery.hwmon, chipIndex, *energy),
                 gate);
    }
}

void AddDriverClockAndLoad(Device& card, const std::string& device, const std::string& chipPath,
                           const std::shared_ptr<PowerGate>& gate) {
    // Clock: amdgpu's hwmon sclk (Hz), else its DPM table; i915's and xe's actual frequency.
    bool clock = false;
    if (!chipPath.empty() && PathExists(chipPath + "/freq1_input")) {
        card.Add(kSlotClock, "GPU Clock",
                 std::make_unique<ScaledFileSource>(chipPath + "/freq1_input", 1e-6), gate);
        clock = true;
    } else if (PathExists(device + "/pp_dpm_sclk")) {
        card.Add(kSlotClock, "GPU Clock", std::make_unique<DpmClockSource>(device + "/pp_dpm_sclk"),
                 gate);
        clock = true;
    }
    if (!clock) {
        std::vector<std::string> candidates;
        for (const std::string& drm : ListFolder(device + "/drm", "card")) {
            candidates.push_back(device + "/drm/" + drm + "/gt_act_freq_mhz");
            candidates.push_back(device + "/drm/" + drm + "/gt/gt0/rps_act_freq_mhz");
        }
        candidates.push_back(device + "/tile0/gt0/freq0/act_freq");
        for (const std::string& path : candidates) {
            if (!PathExists(path))
                continue;
            card.Add(kSlotClock, "GPU Clock", std::make_unique<ScaledFileSource>(path, 1.0), gate);
            break;
        }
    }
    if (PathExists(device + "/gpu_busy_percent")) {
        card.Add(kSlotLoad, "GPU Core Load",
                 std::make_unique<ScaledFileSource>(device + "/gpu_busy_percent", 1.0), gate);
    }
}

}  // namespace

void DiscoverGraphics(Discovery& discovery, std::vector<Device>& cards) {
    std::string pci = discovery.sys + "/bus/pci/devices/";
    std::shared_ptr<NvmlProvider> provider;
    const auto& chips = discovery.hwmon->Chips();
    for (const std::string& address : ListFolder(pci)) {
        std::string device = pci + address;
        auto pciClass = ReadTrimmedLine(device + "/class");
        // Display controllers are class 0x03.
        if (pciClass.size() < 4 || pciClass.compare(0, 4, "0x03") != 0)
            continue;
        auto vendor = ReadHexId(device + "/vendor");
        auto model = ReadHexId(device + "/device");
        if (!vendor || !model)
            continue;

        Device card;
        card.kind = SDK_DEVICE_GRAPHICS;
        card.label = platform::PciDeviceName(*vendor, *model);
        auto gate = std::make_shared<PowerGate>(device + "/power/runtime_status");
        std::string driver = DriverOf(device);

        // The card's hwmon chip, matched by its place in the device tree.
        std::optional<std::size_t> chipIndex;
        std::string chipPath;
        for (const std::string& hwmon : ListFolder(device + "/hwmon", "hwmon")) {
            std::string real = RealPath(device + "/hwmon/" + hwmon);
            for (std::size_t c = 0; c < chips.size(); ++c) {
                if (!real.empty() && chips[c].realPath == real) {
                    chipIndex = c;
                    chipPath = real;
                }
            }
            if (chipIndex)
                break;
        }
        if (chipIndex)
            discovery.chipClaimed[*chipIndex] = true;

        if (*vendor == kVendorNvidia && driver == "nvidia") {
            AddNvidia(discovery, card, address, gate, provider);
        } else {
            if (chipIndex)
                AddHwmonValues(discovery, card, *chipIndex, gate);
            AddDriverClockAndLoad(card, device, chipPath, gate);
        }
        if (card.label.empty()) {
            std::string vendorName = platform::PciVendorName(*vendor);
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", *vendor, *model);
            card.label = JoinNonEmpty(vendorName, "Graphics [" + std::string(id) + "]");
        }
        cards.push_back(std::move(card));
    }
}

}  // namespace tqv::sdk
