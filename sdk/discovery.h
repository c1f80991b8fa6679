// The pieces the machine is found from; each adds its devices once, at start.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sdk/hwmon.h"
#include "sdk/machine.h"
#include "sdk/sdk_interface.h"

namespace tqv::sdk {

struct Discovery {
    std::string sys;   // the sysfs root
    std::string proc;  // the procfs root
    std::shared_ptr<HwmonSession> hwmon;
    std::vector<bool> chipClaimed;  // per chip of hwmon->Chips(): already given to a device
    ReadContext first;              // the sample the two-sample values start from
    std::vector<std::shared_ptr<void>> shared;  // state kept alive with the machine
};

// A hwmon feature's value in °C, RPM, W or J, as libsensors gives it (sensors.conf's compute
// line applied). It is read from the feature's own file, opened on the first read and kept
// open, with libsensors' scaling and the compute line's conversion. Until a value so read has
// once agreed with libsensors' own reading, both are read and libsensors' value is the one
// given; a feature that keeps disagreeing is read through libsensors for good.
class HwmonSource : public Source {
  public:
    HwmonSource(std::shared_ptr<HwmonSession> session, std::size_t chip, std::size_t feature);
    std::optional<double> Read(const ReadContext& context) override;

  private:
    std::optional<double> ReadOwnFile();

    enum class Mode { Checking, OwnFile, Library };

    std::shared_ptr<HwmonSession> session_;
    std::size_t chip_;
    std::size_t feature_;
    Mode mode_ = Mode::Checking;
    int disagreements_ = 0;
    KeptFile file_;
    bool failedOpen_ = false;
};

// Power from a hwmon energy counter (J) over the time between two samples.
class HwmonEnergyPowerSource : public TwoSampleSource<double> {
  public:
    HwmonEnergyPowerSource(std::shared_ptr<HwmonSession> session, std::size_t chip,
                           std::size_t feature);

  protected:
    std::optional<double> TakeSample(const ReadContext& context) override;
    std::optional<double> Between(const double& earlier, const double& later,
                                  std::int64_t elapsedUs) override;

  private:
    HwmonSource energy_;
};

// A file holding one integer, times a scale. The file is opened on the first read and then kept
// open: a device that is never read is never touched.
class ScaledFileSource : public Source {
  public:
    ScaledFileSource(std::string path, double scale);
    std::optional<double> Read(const ReadContext& context) override;

  private:
    std::string path_;
    KeptFile file_;
    double scale_;
};

void DiscoverProcessor(Discovery& discovery, Device& processor);
std::unique_ptr<Source> DiscoverCpuThermalZone(Discovery& discovery);
void DiscoverGraphics(Discovery& discovery, std::vector<Device>& cards);
void DiscoverDrives(Discovery& discovery, std::vector<Device>& drives);
void DiscoverMainboard(Discovery& discovery, Device& board);
MemoryFacts DiscoverMemory(Discovery& discovery);

// Chip names that belong to the processor, graphics cards and drives, never to the mainboard.
bool IsProcessorChip(const std::string& prefix);
bool IsGraphicsChip(const std::string& prefix);
bool IsDriveChip(const std::string& prefix);

}  // namespace tqv::sdk
