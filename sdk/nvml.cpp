#include "sdk/nvml.h"

#include <cstdlib>

namespace tqv::sdk {
namespace {

// The C interface's types: results are an enum (0 is success), devices an opaque pointer.
using NvmlReturn = int;
using NvmlDevice = void*;
constexpr NvmlReturn kSuccess = 0;
constexpr int kTemperatureGpu = 0;  // NVML_TEMPERATURE_GPU
constexpr int kClockGraphics = 0;   // NVML_CLOCK_GRAPHICS

struct NvmlUtilization {
    unsigned int gpu;
    unsigned int memory;
};

// nvmlFanSpeedInfo_v1_t; its version word is the structure's size with the version in bits 24+.
struct NvmlFanSpeedInfo {
    unsigned int version;
    unsigned int fan;
    unsigned int speed;
};
constexpr unsigned int kFanSpeedInfoVersion1 = sizeof(NvmlFanSpeedInfo) | (1u << 24);

template <typename Fn>
Fn Lookup(const platform::DynamicLibrary& library, const char* name) {
    return reinterpret_cast<Fn>(library.Symbol(name));
}

}  // namespace

struct Nvml::Calls {
    NvmlReturn (*init)() = nullptr;
    NvmlReturn (*shutdown)() = nullptr;
    NvmlReturn (*handleByPciBusId)(const char*, NvmlDevice*) = nullptr;
    NvmlReturn (*name)(NvmlDevice, char*, unsigned int) = nullptr;
    NvmlReturn (*temperature)(NvmlDevice, int, unsigned int*) = nullptr;
    NvmlReturn (*clockInfo)(NvmlDevice, int, unsigned int*) = nullptr;
    // Structures travel as untyped pointers, as through any C interface.
    NvmlReturn (*fanSpeedRpm)(NvmlDevice, void*) = nullptr;
    NvmlReturn (*powerUsage)(NvmlDevice, unsigned int*) = nullptr;
    NvmlReturn (*utilization)(NvmlDevice, void*) = nullptr;
};

std::unique_ptr<Nvml> Nvml::Load() {
    std::unique_ptr<Nvml> nvml(new Nvml());
    const char* override = std::getenv("TQV_NVML_LIBRARY");
    std::string path = override && *override ? override : "libnvidia-ml.so.1";
    if (!nvml->library_.Load(path))
        return nullptr;

    auto calls = std::make_unique<Calls>();
    const auto& lib = nvml->library_;
    calls->init = Lookup<decltype(calls->init)>(lib, "nvmlInit_v2");
    calls->shutdown = Lookup<decltype(calls->shutdown)>(lib, "nvmlShutdown");
    calls->handleByPciBusId =
        Lookup<decltype(calls->handleByPciBusId)>(lib, "nvmlDeviceGetHandleByPciBusId_v2");
    calls->name = Lookup<decltype(calls->name)>(lib, "nvmlDeviceGetName");
    calls->temperature = Lookup<decltype(calls->temperature)>(lib, "nvmlDeviceGetTemperature");
    calls->clockInfo = Lookup<decltype(calls->clockInfo)>(lib, "nvmlDeviceGetClockInfo");
    calls->fanSpeedRpm = Lookup<decltype(calls->fanSpeedRpm)>(lib, "nvmlDeviceGetFanSpeedRPM");
    calls->powerUsage = Lookup<decltype(calls->powerUsage)>(lib, "nvmlDeviceGetPowerUsage");
    calls->utilization = Lookup<decltype(calls->utilization)>(lib, "nvmlDeviceGetUtilizationRates");
    if (!calls->init || !calls->shutdown || !calls->handleByPciBusId)
        return nullptr;
    if (calls->init() != kSuccess)
        return nullptr;
    nvml->calls_ = std::move(calls);
    return nvml;
}

Nvml::~Nvml() {
    if (calls_)
        calls_->shutdown();
}

Nvml::Device Nvml::DeviceAt(const std::string& pciAddress) const {
    NvmlDevice device = nullptr;
    if (calls_->handleByPciBusId(pciAddress.c_str(), &device) != kSuccess)
        return nullptr;
    return device;
}

std::optional<std::string> Nvml::Name(Device device) const {
    char name[96] = {};
    if (!device || !calls_->name || calls_->name(device, name, sizeof name - 1) != kSuccess) {
        return std::nullopt;
    }
    return std::string(name);
}

std::optional<double> Nvml::TemperatureC(Device device) const {
    unsigned int value = 0;
    if (!device || !calls_->temperature ||
        calls_->temperature(device, kTemperatureGpu, &value) != kSuccess) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> Nvml::GraphicsClockMhz(Device device) const {
    unsigned int value = 0;
    if (!device || !calls_->clockInfo ||
        calls_->clockInfo(device, kClockGraphics, &value) != kSuccess) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> Nvml::FanRpm(Device device) const {
    NvmlFanSpeedInfo info{kFanSpeedInfoVersion1, 0, 0};
    if (!device || !calls_->fanSpeedRpm || calls_->fanSpeedRpm(device, &info) != kSuccess) {
        return std::nullopt;
    }
    return info.speed;
}

std::optional<double> Nvml::PowerW(Device device) const {
    unsigned int milliwatts = 0;
    if (!device || !calls_->powerUsage || calls_->powerUsage(device, &milliwatts) != kSuccess) {
        return std::nullopt;
    }
    return milliwatts / 1000.0;
}

std::optional<double> Nvml::UtilisationPct(Device device) const {
    NvmlUtilization value{};
    if (!device || !calls_->utilization || calls_->utilization(device, &value) != kSuccess) {
        return std::nullopt;
    }
    return value.gpu;
}

}  // namespace tqv::sdk
