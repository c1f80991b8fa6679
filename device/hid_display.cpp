#include "device/hid_display.h"

#include <hidapi.h>

namespace tqv {
namespace {

void Put8(HidReport& report, std::size_t at, std::int32_t value) {
    report.bytes[at] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFF);
}

void Put16(HidReport& report, std::size_t at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    report.bytes[at] = static_cast<std::uint8_t>((bits >> 8) & 0xFF);
    report.bytes[at + 1] = static_cast<std::uint8_t>(bits & 0xFF);
}

}  // namespace

HidReport BuildHidReport(std::int32_t cpuTemp, std::int32_t cpuLoad, std::int32_t cpuClock,
                         std::int32_t cpuFan, std::int32_t cpuPower, std::int32_t gpuTemp,
                         std::int32_t gpuLoad, std::int32_t gpuClock, std::int32_t gpuFan,
                         std::int32_t gpuPower) {
    HidReport report;
    report.bytes[0] = 0x00;
    report.bytes[1] = HidReport::kMarker;
    Put8(report, 2, cpuTemp);
    Put8(report, 3, cpuLoad);
    Put16(report, 4, cpuClock);
    Put16(report, 6, cpuFan);
    Put16(report, 8, cpuPower);
    Put8(report, 10, gpuTemp);
    Put8(report, 11, gpuLoad);
    Put16(report, 12, gpuClock);
    Put16(report, 14, gpuFan);
    Put16(report, 16, gpuPower);
    return report;
}

HidDisplay::~HidDisplay() {
    std::lock_guard lock(mutex_);
    if (handle_ != nullptr)
        hid_close(handle_);
    handle_ = nullptr;
}

void HidDisplay::SendHidReport(std::int32_t cpuTemp, std::int32_t cpuLoad, std::int32_t cpuClock,
                               std::int32_t cpuFan, std::int32_t cpuPower, std::int32_t gpuTemp,
                               std::int32_t gpuLoad, std::int32_t gpuClock, std::int32_t gpuFan,
                               std::int32_t gpuPower) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) {
        // The first report goes out in the cycle after the one that opened the display.
        handle_ = hid_open(kHidVendorId, kHidProductId, nullptr);
        return;
    }
    const HidReport report = BuildHidReport(cpuTemp, cpuLoad, cpuClock, cpuFan, cpuPower, gpuTemp,
                                            gpuLoad, gpuClock, gpuFan, gpuPower);
    (void)hid_write(handle_, report.bytes.data(), report.bytes.size());
}

void HidDisplay::ForgetDevice() {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr)
        return;
    // Closing before the shutdown releases the device node; shutting down alone would keep it
    // open on every unplug.
    hid_close(handle_);
    handle_ = nullptr;
    hid_exit();
}

void HidDisplay::Shutdown() {
    std::lock_guard lock(mutex_);
    if (handle_ != nullptr)
        hid_close(handle_);
    handle_ = nullptr;
    hid_exit();
}

bool HidDisplay::hasDevice() const {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr;
}

}  // namespace tqv
