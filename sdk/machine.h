// The machine as the library presents it: a list of devices (processor, mainboard, graphics
// cards, drives), each carrying sensors of the five kinds, plus the memory facts and a second
// processor temperature. Everything is found once, when the machine is made; after that an
// update only starts a new sample, and a sensor is read when it is asked for, at most once per
// update, through descriptors kept open since discovery.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/clock.h"
#include "sdk/kept_file.h"

namespace tqv::sdk {

class HwmonSession;

// The sample an update started: its number and its time.
struct ReadContext {
    std::uint64_t generation = 0;
    std::int64_t nowUs = 0;
};

// Where a sensor's value comes from.
class Source {
  public:
    virtual ~Source() = default;
    // Takes the first sample of a value that needs two; most sources need none.
    virtual void Prime(const ReadContext&) {}
    virtual std::optional<double> Read(const ReadContext& context) = 0;
};

// Values that need two samples are worked out over at least this much time, so that two reads
// close together do not turn counter granularity into noise.
inline constexpr std::int64_t kMinSampleIntervalUs = 100000;

// A value worked out from two samples of a counter (load from CPU times, power from an energy
// counter, busy time from I/O ticks). A read closer than kMinSampleIntervalUs to the last sample
// gives the last value; otherwise it takes a new sample and works the value out over the time
// between the two. A sample that cannot be taken makes the read fail and keeps the last sample;
// a pair the value cannot be worked out from keeps the last value.
template <typename Sample>
class TwoSampleSource : public Source {
  public:
    void Prime(const ReadContext& context) final {
        last_ = TakeSample(context);
        lastUs_ = context.nowUs;
    }

    std::optional<double> Read(const ReadContext& context) final {
        if (last_ && context.nowUs - lastUs_ < kMinSampleIntervalUs)
            return lastValue_;
        auto now = TakeSample(context);
        if (!now)
            return std::nullopt;
        if (last_ && context.nowUs > lastUs_) {
            if (auto value = Between(*last_, *now, context.nowUs - lastUs_))
                lastValue_ = value;
        }
        last_ = now;
        lastUs_ = context.nowUs;
        return lastValue_;
    }

  protected:
    virtual std::optional<Sample> TakeSample(const ReadContext& context) = 0;
    // The value over `elapsedUs` (always above 0) from `earlier` to `later`, or nothing.
    virtual std::optional<double> Between(const Sample& earlier, const Sample& later,
                                          std::int64_t elapsedUs) = 0;

  private:
    std::optional<Sample> last_;
    std::int64_t lastUs_ = 0;
    std::optional<double> lastValue_;
};

// Whether a device may be touched: a card in runtime suspend is left asleep, since reading any
// of its values would wake it. The status file is read before the device's first value of a
// monitor cycle (the five updates of one cycle follow each other within microseconds, so a
// status younger than kGateFreshUs serves the whole cycle). A device without the file has no
// runtime power management and is always awake; a status that cannot be read counts as asleep.
class PowerGate {
  public:
    static constexpr std::int64_t kGateFreshUs = 50000;

    explicit PowerGate(const std::string& runtimeStatusPath);
    bool Awake(const ReadContext& context);

  private:
    bool present_ = false;
    KeptFile status_;
    bool read_ = false;
    std::int64_t readUs_ = 0;
    bool awake_ = true;
};

struct Sensor {
    std::string name;
    std::unique_ptr<Source> source;
    std::shared_ptr<PowerGate> gate;
    std::uint64_t readGeneration = 0;
    bool valid = false;  // the read of this update succeeded
    bool seen = false;   // some read ever succeeded
    float value = 0.0f;  // the last good value
    float minimum = 0.0f;
    float maximum = 0.0f;
};

enum SensorSlot { kSlotTemperature, kSlotFan, kSlotPower, kSlotLoad, kSlotClock, kSlotCount };

// The slot of an interface sensor kind (0x2000 ...), or -1.
int SlotOfKind(std::int32_t kind);

struct Device {
    std::int32_t kind = 0;
    std::string label;
    std::array<std::vector<Sensor>, kSlotCount> sensors;

    void Add(int slot, std::string name, std::unique_ptr<Source> source,
             std::shared_ptr<PowerGate> gate = {});
    std::int32_t Count(std::int32_t kind) const;
};

struct MemoryFacts {
    std::int32_t megabytes = -1;
    std::int32_t kind = 0;
    std::string text;
};

class Machine {
  public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Starts a new sample: sensors read after this give fresh values.
    void Update();

    std::int32_t DeviceTotal() const { return static_cast<std::int32_t>(devices_.size()); }
    const Device* DeviceAt(std::int32_t index) const;
    std::int32_t SensorTotal(std::int32_t device, std::int32_t kind) const;

    // Reads one sensor (once per update); null when there is no such sensor. The sensor's
    // `valid` says whether this update's read succeeded; `value` is the last good value.
    const Sensor* ReadSensor(std::int32_t device, std::int32_t index, std::int32_t kind);

    // The second processor temperature source, °C; -1.0 when there is none or it fails.
    float CpuTemperature();

    const MemoryFacts& Memory() const { return memory_; }

  private:
    Clock clock_;
    ReadContext context_;
    std::shared_ptr<HwmonSession> hwmon_;
    std::vector<Device> devices_;
    std::unique_ptr<Source> cpuTemperature_;
    std::shared_ptr<void> keepAlive_;  // state the sources share (NVML, disk statistics)
    MemoryFacts memory_;
};

}  // namespace tqv::sdk
