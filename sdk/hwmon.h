// Hardware monitoring chips, read through libsensors so that the user's sensors.conf applies:
// its labels name the features, its ignore lines hide them, its compute lines convert their
// values. libsensors keeps one global state per process, so every library instance alive shares
// one session, made on the first Acquire and released with the last.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sdk/sensors_conf.h"

namespace tqv::sdk {

enum class HwmonKind { Temperature, Fan, Power, Energy };

struct HwmonFeature {
    HwmonKind kind = HwmonKind::Temperature;
    std::string name;     // the kernel's name, "temp1", "fan2", "power1"
    std::string label;    // the label after sensors.conf ("CPU Fan"), or the name
    int subfeature = -1;  // the libsensors number of the value to read (input or average)
    std::string file;     // that value's file in the chip's folder, "fan2_input"
    double scale = 1.0;   // what libsensors divides the file's number by
    // The compute line's conversion, where sensors.conf has one for this feature.
    std::optional<ComputeExpression> compute;
    // A compute line this library cannot evaluate (it names other features): libsensors only.
    bool libraryOnly = false;
};

struct HwmonChip {
    const void* handle = nullptr;  // the libsensors chip name
    std::string prefix;            // the driver's chip name, "coretemp", "nct6798"
    std::string fullName;          // libsensors' full name, "nct6798-isa-0290"
    std::string path;              // the hwmon class folder libsensors reads
    std::string realPath;          // that folder with every link resolved
    int busType = 0;               // libsensors bus type (ISA 1, PCI 2, ...)
    int address = 0;
    std::vector<HwmonFeature> features;
};

class HwmonSession {
  public:
    // The shared session; made (libsensors initialised, chips found) when none is alive.
    static std::shared_ptr<HwmonSession> Acquire();
    ~HwmonSession();
    HwmonSession(const HwmonSession&) = delete;
    HwmonSession& operator=(const HwmonSession&) = delete;

    const std::vector<HwmonChip>& Chips() const { return chips_; }

    // The value of one feature through libsensors, after sensors.conf's compute line; none when
    // the chip no longer answers (driver unloaded, device gone).
    std::optional<double> Read(const HwmonChip& chip, const HwmonFeature& feature) const;

  private:
    HwmonSession() = default;
    void Scan(const std::string& configFile);

    bool initialised_ = false;
    std::vector<HwmonChip> chips_;
};

}  // namespace tqv::sdk
