// The HID display (USB 0x5131:0x2007): all ten readings in one 65-byte output report per
// monitor cycle, through hidapi.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct hid_device_;  // hidapi's opaque device

namespace tqv {

inline constexpr unsigned short kHidVendorId = 0x5131;
inline constexpr unsigned short kHidProductId = 0x2007;

// One output report: byte 0 the report id (0), byte 1 0x40, then the readings; 8-bit fields
// take a value's low 8 bits, 16-bit fields its low 16 bits, high byte first. Bytes 18-64 zero.
//   2 CPU temperature (Celsius)   3 CPU load    4-5 CPU clock    6-7 CPU fan    8-9 CPU power
//  10 GPU temperature (Celsius)  11 GPU load  12-13 GPU clock  14-15 GPU fan  16-17 GPU power
struct HidReport {
    static constexpr std::size_t kSize = 65;
    static constexpr std::uint8_t kMarker = 0x40;

    std::array<std::uint8_t, kSize> bytes{};

    friend bool operator==(const HidReport&, const HidReport&) = default;
};

HidReport BuildHidReport(std::int32_t cpuTemp, std::int32_t cpuLoad, std::int32_t cpuClock,
                         std::int32_t cpuFan, std::int32_t cpuPower, std::int32_t gpuTemp,
                         std::int32_t gpuLoad, std::int32_t gpuClock, std::int32_t gpuFan,
                         std::int32_t gpuPower);

// Owns the hidapi handle of the display. SendHidReport runs on the monitor worker while
// ForgetDevice (device removed) and Shutdown (program stop) come from other threads; one mutex
// covers the handle for the whole of each call, so a removal never frees a handle that a write is
// using. hidapi is not linked here: the executable links hidapi-hidraw, tests a fake.
class HidDisplay {
  public:
    HidDisplay() = default;
    // Closes a handle still held (the library itself is shut down by Shutdown).
    ~HidDisplay();
    HidDisplay(const HidDisplay&) = delete;
    HidDisplay& operator=(const HidDisplay&) = delete;

    // Without a handle: opens the display (which may fail again) and sends nothing this cycle.
    // With one: builds the report from the ten values and writes its 65 bytes; the write's
    // result is ignored and the handle kept. Temperatures always in degrees Celsius.
    void SendHidReport(std::int32_t cpuTemp, std::int32_t cpuLoad, std::int32_t cpuClock,
                       std::int32_t cpuFan, std::int32_t cpuPower, std::int32_t gpuTemp,
                       std::int32_t gpuLoad, std::int32_t gpuClock, std::int32_t gpuFan,
                       std::int32_t gpuPower);

    // The display was unplugged: when a handle is held, closes it and shuts the library down, so
    // that the next cycle opens the display afresh. Without a handle nothing happens.
    void ForgetDevice();

    // Program stop, after the worker has ended: closes a held handle and shuts the library down.
    void Shutdown();

    bool hasDevice() const;

  private:
    mutable std::mutex mutex_;
    hid_device_* handle_ = nullptr;
};

}  // namespace tqv
