#include "app/app_settings.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/autostart.h"
#include "platform/file_io.h"

namespace tqv {
namespace {

std::string DecimalText(std::uint8_t value) {
    return std::to_string(static_cast<int>(value));
}

}  // namespace

AppSettings DefaultAppSettings() {
    std::array<std::uint8_t, AppSettings::kKeyCount> bytes{};
    for (std::size_t i = 0; i < kSettingKeys.size(); ++i)
        bytes[i] = kSettingKeys[i].defaultValue;
    return AppSettings::FromBytes(bytes);
}

std::uint8_t ParseSettingValue(std::string_view text) {
    std::string copy(text);  // strtol needs a terminator; also cuts at an embedded NUL
    long number = std::strtol(copy.c_str(), nullptr, 10);
    return static_cast<std::uint8_t>(static_cast<unsigned long>(number) & 0xFFu);
}

std::string SettingsPathFor(const std::string& executableFolder, const std::string& userConfigDir) {
    std::string folder = executableFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    const bool installed = folder.empty() || folder.rfind("/usr/", 0) == 0;
    if (!installed)
        return folder + std::string(kSettingsFileName);

    std::string config = userConfigDir;
    while (config.size() > 1 && config.back() == '/')
        config.pop_back();
    if (config == "/")
        config.clear();
    return config + "/tarquelonvist/" + std::string(kSettingsFileName);
}

SettingsController::SettingsController(std::string settingsPath, std::string executablePath)
    : settingsPath_(std::move(settingsPath)), executablePath_(std::move(executablePath)) {}

void SettingsController::LoadSettings() {
    const bool exists = platform::PathExists(settingsPath_);
    file_.SetPath(settingsPath_);

    if (exists) {
        std::array<std::uint8_t, AppSettings::kKeyCount> bytes{};
        for (std::size_t i = 0; i < kSettingKeys.size(); ++i) {
            bytes[i] = ParseSettingValue(file_.ReadValue(kSettingsSection, kSettingKeys[i].name));
        }
        settings_ = AppSettings::FromBytes(bytes);
        return;
    }

    // First start: the whole default file in one atomic write, keys in table order.
    std::vector<std::pair<std::string, std::string>> defaults;
    for (const SettingKey& key : kSettingKeys) {
        defaults.emplace_back(std::string(key.name), DecimalText(key.defaultValue));
    }
    file_.WriteValues(kSettingsSection, defaults);
    settings_ = DefaultAppSettings();
    SetAutoStart(1);
}

void SettingsController::SaveSetting(int which, std::uint8_t value) {
    if (which == 0) {
        settings_.temperatureUnit = value;
        file_.WriteValue(kSettingsSection, kSettingKeys[0].name, DecimalText(value));
        if (onTemperatureUnitChanged)
            onTemperatureUnitChanged(value);
    } else if (which == 1) {
        settings_.autoStart = value;
        file_.WriteValue(kSettingsSection, kSettingKeys[1].name, DecimalText(value));
        SetAutoStart(settings_.autoStart);
    }
}

void SettingsController::SetAutoStart(int mode) {
    platform::SetAutostartEntry(mode, executablePath_);
}

}  // namespace tqv
