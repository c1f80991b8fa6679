// --settings: the settings as start-up loads them (a first start creates the file with its
// defaults and the autostart entry), printed as the file's path and one KEY=VALUE line per key.
#include <cstdio>

#include "app/app_settings.h"
#include "app/commands.h"
#include "platform/paths.h"

namespace tqv {

int RunSettingsCommand(const CommandOptions&) {
    SettingsController controller(
        SettingsPathFor(platform::ExecutableFolder(), platform::UserConfigDir()),
        platform::ExecutablePath());
    controller.LoadSettings();

    std::printf("%s\n", controller.settingsPath().c_str());
    const auto bytes = controller.settings().Bytes();
    for (std::size_t i = 0; i < kSettingKeys.size(); ++i) {
        std::printf("%.*s=%d\n", static_cast<int>(kSettingKeys[i].name.size()),
                    kSettingKeys[i].name.data(), static_cast<int>(bytes[i]));
    }
    return 0;
}

}  // namespace tqv
