// Where the program lives and where a user's configuration goes.
#pragma once

#include <string>

namespace tqv::platform {

// Full path of the running executable (symbolic links resolved); empty when unknown.
std::string ExecutablePath();

// The executable's folder with its trailing '/', or empty when unknown.
std::string ExecutableFolder();

// The folder part of `path` through its last '/' ("" when there is none).
std::string FolderOf(const std::string& path);

// The user's configuration folder: $XDG_CONFIG_HOME, or ~/.config. No trailing '/'.
std::string UserConfigDir();

}  // namespace tqv::platform
