#include "device/rotation.h"

#include <cmath>
#include <limits>

#include "device/serial_frame.h"

namespace tqv {
namespace {

// Cycles per due step for each speed; 0 means never due.
std::int32_t StepInterval(std::uint8_t speed) {
    switch (speed) {
        case 0:
            return 5;
        case 1:
            return 3;
        case 2:
            return 1;
        default:
            return 0;
    }
}

std::int32_t ToFahrenheit(std::int32_t celsius) {
    const double fahrenheit = std::trunc(static_cast<double>(celsius) * 1.8 + 32.0);
    // Readings far outside any real temperature must not overflow the conversion.
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    if (fahrenheit <= kMin)
        return std::numeric_limits<std::int32_t>::min();
    if (fahrenheit >= kMax)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(fahrenheit);
}

void Broadcast(DeviceLink& link, FrameCommand command, std::int32_t value, ValueKind kind, bool gpu,
               std::uint8_t orientation) {
    std::lock_guard lock(link.mutex);
    SendFrame(Code(command), value, link, Code(kind), gpu, orientation, true);
}

void BroadcastPlain(DeviceLink& link, FrameCommand command) {
    std::lock_guard lock(link.mutex);
    SendFrame(Code(command), 0, link, 0, false, 0, true);
}

}  // namespace

void DisplayRotation::ApplyDisplaySettings(std::uint8_t /*unit*/, const DisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
    flags_ = {settings.showCpuTemp,  settings.showCpuFreq, settings.showCpuFan,
              settings.showCpuPower, settings.showCpuLoad, settings.animation,
              settings.showGpuTemp,  settings.showGpuFreq, settings.showGpuFan,
              settings.showGpuPower, settings.showGpuLoad, settings.animation};
    speed_ = settings.rotationSpeed;
    bool allZero = true;
    for (std::uint8_t flag : flags_)
        allZero = allZero && flag == 0;
    displayOff_ = allZero;
}

void DisplayRotation::SetTemperatureUnit(std::uint8_t unit) {
    std::lock_guard lock(mutex_);
    unit_ = unit;
}

void DisplayRotation::RotateItem(DeviceLink& link, const ItemReadings& readings) {
    Snapshot snapshot;
    bool sendOff = false;
    int found = -1;
    {
        std::lock_guard lock(mutex_);
        // Saturates instead of overflowing while a speed that is never due stands for ages.
        if (counter_ < std::numeric_limits<std::int32_t>::max())
            ++counter_;
        const std::int32_t interval = StepInterval(speed_);
        if (interval == 0 || counter_ < interval)
            return;
        counter_ = 0;
        snapshot = Snapshot{settings_, unit_};
        if (displayOff_) {
            sendOff = true;
        } else {
            for (std::size_t i = index_; i < kDisplayItemCount; ++i) {
                if (flags_[i] == 1) {
                    found = static_cast<int>(i);
                    break;
                }
            }
            if (found >= 0) {
                index_ = static_cast<std::uint8_t>(found + 1);
                if (index_ > kDisplayItemCount - 1)
                    index_ = 0;
            } else {
                index_ = 0;
            }
        }
    }
    if (sendOff) {
        BroadcastPlain(link, FrameCommand::DisplayOff);
    } else if (found >= 0) {
        SendItemWith(snapshot, link, static_cast<DisplayItem>(found), readings);
    }
}

void DisplayRotation::SendItem(DeviceLink& link, DisplayItem item, const ItemReadings& readings) {
    SendItemWith(TakeSnapshot(), link, item, readings);
}

void DisplayRotation::SendTemperature(DeviceLink& link, std::int32_t celsius, bool gpu) {
    SendTemperatureWith(TakeSnapshot(), link, celsius, gpu);
}

void DisplayRotation::SendItemWith(const Snapshot& snapshot, DeviceLink& link, DisplayItem item,
                                   const ItemReadings& r) {
    const std::uint8_t orientation = snapshot.settings.orientation;
    switch (item) {
        case DisplayItem::CpuTemp:
            SendTemperatureWith(snapshot, link, r.cpuTempC, false);
            break;
        case DisplayItem::CpuFreq:
            Broadcast(link, FrameCommand::ShowValue, r.cpuClockMhz, ValueKind::Clock, false,
                      orientation);
            break;
        case DisplayItem::CpuFan:
            Broadcast(link, FrameCommand::ShowValue, r.cpuFanRpm, ValueKind::Fan, false,
                      orientation);
            break;
        case DisplayItem::CpuPower:
            Broadcast(link, FrameCommand::ShowValue, r.cpuPowerW, ValueKind::Power, false,
                      orientation);
            break;
        case DisplayItem::CpuLoad:
            Broadcast(link, FrameCommand::ShowValue, r.cpuLoadPct, ValueKind::Load, false,
                      orientation);
            break;
        case DisplayItem::GpuTemp:
            SendTemperatureWith(snapshot, link, r.gpuTempC, true);
            break;
        case DisplayItem::GpuFreq:
            Broadcast(link, FrameCommand::ShowValue, r.gpuClockMhz, ValueKind::Clock, true,
                      orientation);
            break;
        case DisplayItem::GpuFan:
            Broadcast(link, FrameCommand::ShowValue, r.gpuFanRpm, ValueKind::Fan, true,
                      orientation);
            break;
        case DisplayItem::GpuPower:
            Broadcast(link, FrameCommand::ShowValue, r.gpuPowerW, ValueKind::Power, true,
                      orientation);
            break;
        case DisplayItem::GpuLoad:
            Broadcast(link, FrameCommand::ShowValue, r.gpuLoadPct, ValueKind::Load, true,
                      orientation);
            break;
        case DisplayItem::Animation1:
        case DisplayItem::Animation2:
            BroadcastPlain(link, FrameCommand::PlayAnimation);
            break;
    }
}

void DisplayRotation::SendTemperatureWith(const Snapshot& snapshot, DeviceLink& link,
                                          std::int32_t celsius, bool gpu) {
    const std::uint8_t orientation = snapshot.settings.orientation;
    switch (snapshot.unit) {
        case kUnitFahrenheit:
            Broadcast(link, FrameCommand::ShowValue, ToFahrenheit(celsius),
                      ValueKind::TempFahrenheit, gpu, orientation);
            break;
        case kUnitCelsius:
            Broadcast(link, FrameCommand::ShowValue, celsius, ValueKind::TempCelsius, gpu,
                      orientation);
            break;
        default:
            break;
    }
}

DisplayRotation::Snapshot DisplayRotation::TakeSnapshot() const {
    std::lock_guard lock(mutex_);
    return Snapshot{settings_, unit_};
}

DisplaySettings DisplayRotation::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::array<std::uint8_t, kDisplayItemCount> DisplayRotation::itemFlags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

std::uint8_t DisplayRotation::speed() const {
    std::lock_guard lock(mutex_);
    return speed_;
}

std::uint8_t DisplayRotation::temperatureUnit() const {
    std::lock_guard lock(mutex_);
    return unit_;
}

std::int32_t DisplayRotation::counter() const {
    std::lock_guard lock(mutex_);
    return counter_;
}

std::uint8_t DisplayRotation::index() const {
    std::lock_guard lock(mutex_);
    return index_;
}

bool DisplayRotation::displayOff() const {
    std::lock_guard lock(mutex_);
    return displayOff_;
}

}  // namespace tqv
