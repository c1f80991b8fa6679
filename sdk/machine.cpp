#include "sdk/machine.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/fs_roots.h"
#include "sdk/discovery.h"
#include "sdk/hwmon.h"
#include "sdk/sdk_interface.h"
#include "sdk/text_parsers.h"

namespace tqv::sdk {

// ---- Pieces shared by the discovery files ---------------------------------------------------

HwmonSource::HwmonSource(std::shared_ptr<HwmonSession> session, std::size_t chip,
                         std::size_t feature)
    : session_(std::move(session)), chip_(chip), feature_(feature) {}

std::optional<double> HwmonSource::ReadOwnFile() {
    const auto& chip = session_->Chips()[chip_];
    const auto& feature = chip.features[feature_];
    if (!file_.IsOpen()) {
        // A file that is gone stays gone: a chip that comes back is a new chip, maybe at the
        // same place, and is not this sensor.
        if (failedOpen_)
            return std::nullopt;
        if (!file_.Open(chip.path + "/" + feature.file)) {
            failedOpen_ = true;
            return std::nullopt;
        }
    }
    auto text = file_.Read(64);
    double value = 0;
    if (!text || !ParseDouble(*text, value) || !std::isfinite(value))
        return std::nullopt;
    value /= feature.scale;
    if (feature.compute)
        value = feature.compute->Evaluate(value);
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> HwmonSource::Read(const ReadContext&) {
    const auto& chip = session_->Chips()[chip_];
    const auto& feature = chip.features[feature_];
    if (feature.libraryOnly)
        mode_ = Mode::Library;
    switch (mode_) {
        case Mode::OwnFile:
            return ReadOwnFile();
        case Mode::Library:
            return session_->Read(chip, feature);
        case Mode::Checking:
            break;
    }
    auto library = session_->Read(chip, feature);
    auto own = ReadOwnFile();
    if (library && own && std::fabs(*library - *own) <= 1e-6 * std::max(1.0, std::fabs(*library))) {
        mode_ = Mode::OwnFile;
    } else if (library && ++disagreements_ >= 3) {
        // Three reads that disagree (a value that changes between the two reads would agree
        // on a later try): this feature is libsensors'.
        mode_ = Mode::Library;
        file_.Close();
    }
    return library ? library : own;
}

HwmonEnergyPowerSource::HwmonEnergyPowerSource(std::shared_ptr<HwmonSession> session,
                                               std::size_t chip, std::size_t feature)
    : energy_(std::move(session), chip, feature) {}

std::optional<double> HwmonEnergyPowerSource::TakeSample(const ReadContext& context) {
    return energy_.Read(context);
}

std::optional<double> HwmonEnergyPowerSource::Between(const double& earlier, const double& later,
                                                      std::int64_t elapsedUs) {
    // A counter that went backwards (reset) gives no value for this pair.
    if (later < earlier)
        return std::nullopt;
    return (later - earlier) * 1e6 / static_cast<double>(elapsedUs);
}

ScaledFileSource::ScaledFileSource(std::string path, double scale)
    : path_(std::move(path)), scale_(scale) {}

std::optional<double> ScaledFileSource::Read(const ReadContext&) {
    if (!file_.IsOpen() && !file_.Open(path_))
        return std::nullopt;
    auto value = file_.ReadInteger();
    if (!value)
        return std::nullopt;
    return static_cast<double>(*value) * scale_;
}

bool IsProcessorChip(const std::string& prefix) {
    return prefix == "coretemp" || prefix == "k10temp" || prefix == "k8temp" ||
           prefix == "zenpower" || prefix == "cpu_thermal";
}

bool IsGraphicsChip(const std::string& prefix) {
    return prefix == "amdgpu" || prefix == "radeon" || prefix == "nouveau" || prefix == "i915" ||
           prefix == "xe";
}

bool IsDriveChip(const std::string& prefix) {
    return prefix == "nvme" || prefix == "drivetemp";
}

// ---- Power gate, devices --------------------------------------------------------------------

PowerGate::PowerGate(const std::string& runtimeStatusPath) {
    present_ = PathExists(runtimeStatusPath);
    if (present_)
        status_.Open(runtimeStatusPath);
}

bool PowerGate::Awake(const ReadContext& context) {
    if (!present_)
        return true;
    if (read_ && context.nowUs >= readUs_ && context.nowUs - readUs_ < kGateFreshUs)
        return awake_;
    read_ = true;
    readUs_ = context.nowUs;
    auto text = status_.Read(64);
    if (!text) {
        awake_ = false;
        return awake_;
    }
    std::string_view status = Trim(*text);
    awake_ = status == "active" || status == "unsupported";
    return awake_;
}

int SlotOfKind(std::int32_t kind) {
    switch (kind) {
        case SDK_SENSOR_TEMPERATURE:
            return kSlotTemperature;
        case SDK_SENSOR_FAN:
            return kSlotFan;
        case SDK_SENSOR_POWER:
            return kSlotPower;
        case SDK_SENSOR_LOAD:
            return kSlotLoad;
        case SDK_SENSOR_CLOCK:
            return kSlotClock;
        default:
            return -1;
    }
}

void Device::Add(int slot, std::string name, std::unique_ptr<Source> source,
                 std::shared_ptr<PowerGate> gate) {
    Sensor sensor;
    sensor.name = std::move(name);
    sensor.source = std::move(source);
    sensor.gate = std::move(gate);
    sensors[static_cast<std::size_t>(slot)].push_back(std::move(sensor));
}

std::int32_t Device::Count(std::int32_t kind) const {
    if (kind == SDK_SENSOR_ANY) {
        std::size_t total = 0;
        for (const auto& list : sensors)
            total += list.size();
        return static_cast<std::int32_t>(total);
    }
    int slot = SlotOfKind(kind);
    return slot < 0 ? 0 : static_cast<std::int32_t>(sensors[static_cast<std::size_t>(slot)].size());
}

// ---- Mainboard and memory -------------------------------------------------------------------

namespace {

// Super I/O chips first, then embedded controllers and the rest; by name and address within.
int BusRank(int busType) {
    switch (busType) {
        case 1:  // ISA: Super I/O
            return 0;
        case 5:  // ACPI
            return 1;
        case 0:  // I2C
            return 2;
        default:
            return 3;
    }
}

bool NamesCpu(const std::string& label) {
    std::string lower = label;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("cpu") != std::string::npos;
}

}  // namespace

void DiscoverMainboard(Discovery& discovery, Device& board) {
    std::string dmi = discovery.sys + "/class/dmi/id/";
    board.label = JoinNonEmpty(CleanDmiText(ReadTrimmedLine(dmi + "board_vendor")),
                               CleanDmiText(ReadTrimmedLine(dmi + "board_name")));
    if (board.label.empty()) {
        board.label = JoinNonEmpty(CleanDmiText(ReadTrimmedLine(dmi + "sys_vendor")),
                                   CleanDmiText(ReadTrimmedLine(dmi + "product_name")));
    }

    const auto& chips = discovery.hwmon->Chips();
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < chips.size(); ++i) {
        const auto& prefix = chips[i].prefix;
        if (discovery.chipClaimed[i] || IsProcessorChip(prefix) || IsGraphicsChip(prefix) ||
            IsDriveChip(prefix)) {
            continue;
        }
        order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto& ca = chips[a];
        const auto& cb = chips[b];
        if (BusRank(ca.busType) != BusRank(cb.busType)) {
            return BusRank(ca.busType) < BusRank(cb.busType);
        }
        if (ca.prefix != cb.prefix)
            return ca.prefix < cb.prefix;
        return ca.address < cb.address;
    });

    // A fan whose label names the processor comes first; then every other fan in chip order.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t c : order) {
            const auto& features = chips[c].features;
            for (std::size_t f = 0; f < features.size(); ++f) {
                if (features[f].kind != HwmonKind::Fan)
                    continue;
                if (NamesCpu(features[f].label) != (pass == 0))
                    continue;
                board.Add(kSlotFan, features[f].label,
                          std::make_unique<HwmonSource>(discovery.hwmon, c, f));
            }
        }
    }
    // Temperatures only give a board without fans a sensor, so that it is listed at all; a board
    // with fans leaves them out, since they feed no reading and would cost a read per cycle.
    bool hasFans = !board.sensors[kSlotFan].empty();
    for (std::size_t c : order) {
        discovery.chipClaimed[c] = true;
        if (hasFans)
            continue;
        const auto& features = chips[c].features;
        for (std::size_t f = 0; f < features.size(); ++f) {
            if (features[f].kind != HwmonKind::Temperature)
                continue;
            board.Add(kSlotTemperature, features[f].label,
                      std::make_unique<HwmonSource>(discovery.hwmon, c, f));
        }
    }
}

MemoryFacts DiscoverMemory(Discovery& discovery) {
    MemoryFacts facts;
    // SMBIOS memory devices: exact sizes, type and maker (readable by root only).
    std::string entries = discovery.sys + "/firmware/dmi/entries/";
    std::uint64_t totalMb = 0;
    bool typed = false;
    for (const std::string& entry : ListFolder(entries, "17-")) {
        auto raw = ReadSmallFile(entries + entry + "/raw", 4096);
        if (!raw)
            continue;
        auto module = ParseMemoryDevice(*raw);
        if (!module || !module->installed)
            continue;
        totalMb += module->megabytes;
        if (!typed) {
            facts.kind = MemoryKindCode(module->smbiosType);
            typed = true;
        }
        if (facts.text.empty())
            facts.text = module->manufacturer;
    }
    if (totalMb > 0 && totalMb <= 0x7FFFFFFF) {
        facts.megabytes = static_cast<std::int32_t>(totalMb);
        return facts;
    }
    facts = MemoryFacts{};
    if (auto meminfo = ReadSmallFile(discovery.proc + "/meminfo")) {
        if (auto kb = MemTotalKb(*meminfo))
            facts.megabytes = InstalledMegabytesFromKernelTotal(*kb);
    }
    return facts;
}

// ---- Machine --------------------------------------------------------------------------------

Machine::Machine() {
    context_.generation = 1;
    context_.nowUs = clock_.NowUs();
    hwmon_ = HwmonSession::Acquire();

    Discovery discovery;
    discovery.sys = platform::SysfsRoot();
    discovery.proc = platform::ProcfsRoot();
    discovery.hwmon = hwmon_;
    discovery.chipClaimed.assign(hwmon_->Chips().size(), false);
    discovery.first = context_;

    Device processor;
    processor.kind = SDK_DEVICE_PROCESSOR;
    DiscoverProcessor(discovery, processor);
    std::vector<Device> cards;
    DiscoverGraphics(discovery, cards);
    std::vector<Device> drives;
    DiscoverDrives(discovery, drives);
    Device board;
    board.kind = SDK_DEVICE_MAINBOARD;
    DiscoverMainboard(discovery, board);
    cpuTemperature_ = DiscoverCpuThermalZone(discovery);
    memory_ = DiscoverMemory(discovery);

    devices_.push_back(std::move(processor));
    devices_.push_back(std::move(board));
    for (auto& card : cards)
        devices_.push_back(std::move(card));
    for (auto& drive : drives)
        devices_.push_back(std::move(drive));

    for (auto& device : devices_) {
        for (auto& list : device.sensors) {
            for (auto& sensor : list) {
                if (!sensor.gate || sensor.gate->Awake(context_))
                    sensor.source->Prime(context_);
            }
        }
    }
    keepAlive_ = std::make_shared<std::vector<std::shared_ptr<void>>>(std::move(discovery.shared));
}

Machine::~Machine() {
    // Sources go before the state they share and before the hwmon session.
    devices_.clear();
    cpuTemperature_.reset();
    keepAlive_.reset();
}

void Machine::Update() {
    ++context_.generation;
    context_.nowUs = clock_.NowUs();
}

const Device* Machine::DeviceAt(std::int32_t index) const {
    if (index < 0 || index >= DeviceTotal())
        return nullptr;
    return &devices_[static_cast<std::size_t>(index)];
}

std::int32_t Machine::SensorTotal(std::int32_t device, std::int32_t kind) const {
    const Device* found = DeviceAt(device);
    return found ? found->Count(kind) : 0;
}

const Sensor* Machine::ReadSensor(std::int32_t device, std::int32_t index, std::int32_t kind) {
    int slot = SlotOfKind(kind);
    if (slot < 0 || index < 0 || device < 0 || device >= DeviceTotal())
        return nullptr;
    auto& list = devices_[static_cast<std::size_t>(device)].sensors[static_cast<std::size_t>(slot)];
    if (static_cast<std::size_t>(index) >= list.size())
        return nullptr;
    Sensor& sensor = list[static_cast<std::size_t>(index)];
    if (sensor.readGeneration == context_.generation)
        return &sensor;
    sensor.readGeneration = context_.generation;
    sensor.valid = false;
    if (sensor.gate && !sensor.gate->Awake(context_))
        return &sensor;
    auto value = sensor.source->Read(context_);
    if (!value || !std::isfinite(*value))
        return &sensor;
    sensor.value = static_cast<float>(*value);
    if (!sensor.seen || sensor.value < sensor.minimum)
        sensor.minimum = sensor.value;
    if (!sensor.seen || sensor.value > sensor.maximum)
        sensor.maximum = sensor.value;
    sensor.seen = true;
    sensor.valid = true;
    return &sensor;
}

float Machine::CpuTemperature() {
    if (!cpuTemperature_)
        return -1.0f;
    auto value = cpuTemperature_->Read(context_);
    if (!value || !std::isfinite(*value))
        return -1.0f;
    return static_cast<float>(*value);
}

}  // namespace tqv::sdk
