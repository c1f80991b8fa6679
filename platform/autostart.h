// Starting the program at logon: an XDG autostart entry, "Velkran.desktop" in the user's
// autostart folder, that runs the executable by its full path.
#pragma once

#include <string>

namespace tqv::platform {

// "<UserConfigDir()>/autostart/Velkran.desktop".
std::string AutostartEntryPath();

// `path` as one argument of an Exec line, ready to stand in the entry file: in double quotes,
// with '"', '`', '$' and '\' escaped by a backslash, '%' doubled, and then the file's string
// escaping applied (each backslash doubled again; tab, line feed and carriage return as \t, \n,
// \r).
std::string QuoteExecArgument(const std::string& path);

// The whole entry file for `executablePath`.
std::string AutostartEntryText(const std::string& executablePath);

// Mode 1 writes the entry for `executablePath` (replacing the file atomically and creating the
// folder when needed), mode 0 removes it, any other mode does nothing. Failures are silent.
void SetAutostartEntry(int mode, const std::string& executablePath);

}  // namespace tqv::platform
