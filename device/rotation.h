// The rotation of values on the serial display: one value at a time, the next enabled item at
// every due step, paced by the rotation speed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "app/display_settings.h"
#include "device/device_link.h"

namespace tqv {

// The twelve slots of the rotation, always visited in this order.
enum class DisplayItem : std::uint8_t {
    CpuTemp = 0,
    CpuFreq = 1,
    CpuFan = 2,
    CpuPower = 3,
    CpuLoad = 4,
    Animation1 = 5,
    GpuTemp = 6,
    GpuFreq = 7,
    GpuFan = 8,
    GpuPower = 9,
    GpuLoad = 10,
    Animation2 = 11,
};
inline constexpr std::size_t kDisplayItemCount = 12;

// The readings of one cycle, each truncated toward zero, in this order. Temperatures in
// degrees Celsius.
struct ItemReadings {
    std::int32_t cpuClockMhz = 0;
    std::int32_t cpuTempC = 0;
    std::int32_t cpuFanRpm = 0;
    std::int32_t cpuPowerW = 0;
    std::int32_t cpuLoadPct = 0;
    std::int32_t gpuClockMhz = 0;
    std::int32_t gpuTempC = 0;
    std::int32_t gpuFanRpm = 0;
    std::int32_t gpuPowerW = 0;
    std::int32_t gpuLoadPct = 0;
};

// Temperature unit codes of the "TEMPERATURE" setting.
inline constexpr std::uint8_t kUnitFahrenheit = 0;
inline constexpr std::uint8_t kUnitCelsius = 1;

// Rotation state: the display settings, the twelve item flags, the speed and the temperature
// unit (written from the user-interface thread), and the counter, index and display-off flag
// that the steps advance (on the monitor worker). All state sits behind one internal mutex, so
// the methods may be called from any thread. A step works on a snapshot of the settings taken at
// its start. Frames go out with link.mutex held around each one; the internal mutex is never
// held while link.mutex is taken, so a caller may hold link.mutex while changing settings.
class DisplayRotation {
  public:
    // Takes a new display block: item flags (CPU items from bytes 0-4, the two animation slots
    // from byte 12, GPU items from bytes 5-9), speed (byte 11) and the display-off flag (all item
    // flags zero). `unit` is not used: the unit is set through SetTemperatureUnit. Counter and
    // index stay where they are, so a change takes effect at the next due step.
    void ApplyDisplaySettings(std::uint8_t unit, const DisplaySettings& settings);

    // 1 Celsius, 0 Fahrenheit; any other value makes the temperature items send nothing.
    void SetTemperatureUnit(std::uint8_t unit);

    // One step, once per monitor cycle. Speed 0 makes every fifth step due, 1 every third, 2
    // every one, any other speed none. A due step sends DisplayOff when no item is enabled, else
    // the first item from the index upward whose flag is exactly 1 (no wrap within a step; when
    // none is found the index returns to 0 and nothing is sent). Must not be called with
    // link.mutex held.
    void RotateItem(DeviceLink& link, const ItemReadings& readings);

    // Sends one item as a broadcast frame with the current orientation and unit. Takes
    // link.mutex for the frame; must not be called with it held. An unknown item sends nothing.
    void SendItem(DeviceLink& link, DisplayItem item, const ItemReadings& readings);

    // Sends one temperature in the current unit (Fahrenheit: celsius * 1.8 + 32 in double
    // precision, truncated toward zero). Any unit other than 0 or 1 sends nothing.
    void SendTemperature(DeviceLink& link, std::int32_t celsius, bool gpu);

    // Inspection.
    DisplaySettings settings() const;
    std::array<std::uint8_t, kDisplayItemCount> itemFlags() const;
    std::uint8_t speed() const;
    std::uint8_t temperatureUnit() const;
    std::int32_t counter() const;
    std::uint8_t index() const;
    bool displayOff() const;

  private:
    struct Snapshot {
        DisplaySettings settings;
        std::uint8_t unit = 0;
    };
    Snapshot TakeSnapshot() const;
    static void SendItemWith(const Snapshot& snapshot, DeviceLink& link, DisplayItem item,
                             const ItemReadings& readings);
    static void SendTemperatureWith(const Snapshot& snapshot, DeviceLink& link,
                                    std::int32_t celsius, bool gpu);

    mutable std::mutex mutex_;
    DisplaySettings settings_;
    std::array<std::uint8_t, kDisplayItemCount> flags_{};
    std::uint8_t speed_ = 0;
    std::uint8_t unit_ = 0;
    std::int32_t counter_ = 0;
    std::uint8_t index_ = 0;
    bool displayOff_ = false;
};

}  // namespace tqv
