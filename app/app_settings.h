// The main window's settings part: loads "Setting.ini" into AppSettings once at start (writing
// the defaults on a first start), saves the two settings the settings popup changes, and keeps
// the autostart entry.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/display_settings.h"
#include "app/settings_file.h"

namespace tqv {

inline constexpr std::string_view kSettingsSection = "VELKRAN SETTINGS";
inline constexpr std::string_view kSettingsFileName = "Setting.ini";

struct SettingKey {
    std::string_view name;
    std::uint8_t defaultValue;
};

// The keys in file order, which is also the byte order of AppSettings.
inline constexpr std::array<SettingKey, AppSettings::kKeyCount> kSettingKeys = {{
    {"TEMPERATURE", 1},
    {"ATUO START", 1},
    {"TFT_CTEMP", 1},
    {"TFT_CFREQ", 1},
    {"TFT_CTRPM", 1},
    {"TFT_CPOWER", 1},
    {"TFT_CLOAD", 1},
    {"TFT_GTEMP", 1},
    {"TFT_GFREQ", 1},
    {"TFT_GTRPM", 1},
    {"TFT_GPOWER", 1},
    {"TFT_GLOAD", 1},
    {"TFT_OPEN", 1},
    {"TFT_SPEED", 0},
    {"TFT_ANIMATION", 1},
    {"TFT_TURN", 0},
}};

// What a first start writes and sets.
AppSettings DefaultAppSettings();

// A value read from the file as a setting byte: a decimal number as strtol reads it (leading
// white space and a sign allowed, stopping at the first non-digit), low 8 bits kept; anything
// without a number gives 0.
std::uint8_t ParseSettingValue(std::string_view text);

// Where "Setting.ini" lives. `executableFolder` is the executable's real folder (symbolic links
// resolved). Outside "/usr/" (a build tree, an unpacked archive) the file sits beside the
// executable; under "/usr/" (an installed program) it is
// "<userConfigDir>/tarquelonvist/Setting.ini", since a system folder is not the user's to write.
// An unknown (empty) executable folder is treated as installed.
std::string SettingsPathFor(const std::string& executableFolder, const std::string& userConfigDir);

class SettingsController {
  public:
    explicit SettingsController(std::string settingsPath, std::string executablePath);

    // Reads the 16 keys; when the file does not exist, writes the defaults, takes them and
    // registers autostart.
    void LoadSettings();

    // `which` 0 saves the temperature unit and tells onTemperatureUnitChanged; 1 saves autostart
    // and brings the autostart entry in line; any other `which` does nothing. The in-memory
    // value changes even when the file cannot be written.
    void SaveSetting(int which, std::uint8_t value);

    // 1 registers autostart for the executable path, 0 unregisters, anything else does nothing.
    void SetAutoStart(int mode);

    const AppSettings& settings() const { return settings_; }
    const std::string& settingsPath() const { return settingsPath_; }

    std::function<void(std::uint8_t)> onTemperatureUnitChanged;

  private:
    std::string settingsPath_;
    std::string executablePath_;
    SettingsFile file_;
    AppSettings settings_;
};

}  // namespace tqv
