// placeholder
#include "app/commands.h"
namespace tqv {
int RunSettingsCommand(const CommandOptions&) { return 1; }
}  // namespace tqv
