// The settings records shared across the layers: what the settings file holds, one unsigned
// byte per key, in the order the keys stand in the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tqv {

// The display block: 14 bytes, keys "TFT_CTEMP" to "TFT_TURN" in file order.
struct DisplaySettings {
    std::uint8_t showCpuTemp = 0;   // "TFT_CTEMP"
    std::uint8_t showCpuFreq = 0;   // "TFT_CFREQ"
    std::uint8_t showCpuFan = 0;    // "TFT_CTRPM"
    std::uint8_t showCpuPower = 0;  // "TFT_CPOWER"
    std::uint8_t showCpuLoad = 0;   // "TFT_CLOAD"
    std::uint8_t showGpuTemp = 0;   // "TFT_GTEMP"
    std::uint8_t showGpuFreq = 0;   // "TFT_GFREQ"
    std::uint8_t showGpuFan = 0;    // "TFT_GTRPM"
    std::uint8_t showGpuPower = 0;  // "TFT_GPOWER"
    std::uint8_t showGpuLoad = 0;   // "TFT_GLOAD"
    std::uint8_t displayOn = 0;     // "TFT_OPEN"
    std::uint8_t rotationSpeed = 0; // "TFT_SPEED": 0 slowest, 1, 2 fastest
    std::uint8_t animation = 0;     // "TFT_ANIMATION"
    std::uint8_t orientation = 0;   // "TFT_TURN": 0 to 3

    static constexpr std::size_t kSize = 14;

    std::array<std::uint8_t, kSize> Bytes() const {
        std::array<std::uint8_t, kSize> bytes{};
        std::memcpy(bytes.data(), this, kSize);
        return bytes;
    }
    static DisplaySettings FromBytes(const std::array<std::uint8_t, kSize>& bytes) {
        DisplaySettings settings;
        std::memcpy(&settings, bytes.data(), kSize);
        return settings;
    }
    friend bool operator==(const DisplaySettings&, const DisplaySettings&) = default;
};
static_assert(sizeof(DisplaySettings) == DisplaySettings::kSize);

// The whole settings file in memory: 16 bytes, keys in file order.
struct AppSettings {
    std::uint8_t temperatureUnit = 0;  // "TEMPERATURE": 1 Celsius, 0 Fahrenheit
    std::uint8_t autoStart = 0;        // "ATUO START": 1 on, 0 off
    DisplaySettings display;

    static constexpr std::size_t kKeyCount = 16;

    std::array<std::uint8_t, kKeyCount> Bytes() const {
        std::array<std::uint8_t, kKeyCount> bytes{};
        std::memcpy(bytes.data(), this, kKeyCount);
        return bytes;
    }
    static AppSettings FromBytes(const std::array<std::uint8_t, kKeyCount>& bytes) {
        AppSettings settings;
        std::memcpy(&settings, bytes.data(), kKeyCount);
        return settings;
    }
    friend bool operator==(const AppSettings&, const AppSettings&) = default;
};
static_assert(sizeof(AppSettings) == AppSettings::kKeyCount);

}  // namespace tqv
