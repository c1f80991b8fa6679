// NVIDIA's management library, loaded at run time when an NVIDIA card is present and awake.
// Only the handful of calls the library uses are declared here, by their documented C
// signatures. The library file is "libnvidia-ml.so.1", found the usual way; TQV_NVML_LIBRARY
// names another file (tests load a fake one).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dynamic_library.h"

namespace tqv::sdk {

class Nvml {
  public:
    // Loads and initialises the library; null when it is missing or does not initialise.
    static std::unique_ptr<Nvml> Load();
    ~Nvml();
    Nvml(const Nvml&) = delete;
    Nvml& operator=(const Nvml&) = delete;

    using Device = void*;

    // The card at a PCI address ("0000:01:00.0"); null when the library does not know it.
    Device DeviceAt(const std::string& pciAddress) const;

    std::optional<std::string> Name(Device device) const;
    std::optional<double> TemperatureC(Device device) const;
    std::optional<double> GraphicsClockMhz(Device device) const;
    // Only where the driver measures revolutions; never a duty-cycle percentage.
    std::optional<double> FanRpm(Device device) const;
    std::optional<double> PowerW(Device device) const;
    std::optional<double> UtilisationPct(Device device) const;

  private:
    Nvml() = default;

    platform::DynamicLibrary library_;
    struct Calls;
    std::unique_ptr<Calls> calls_;
};

}  // namespace tqv::sdk
