// The program's one diagnostic channel. Off by default; when switched on, every line goes to
// standard error. Tests may install a sink to capture the lines instead.
#pragma once

#include <functional>
#include <string_view>

namespace tqv::platform {

void SetDebugOutputEnabled(bool enabled);
bool DebugOutputEnabled();

// Replaces standard error as the destination (an empty function restores it). Lines reach the
// sink only while output is enabled.
void SetDebugSink(std::function<void(std::string_view)> sink);

// Hands one line, exactly as given (including its line ending), to the channel.
void DebugOutput(std::string_view line);

}  // namespace tqv::platform
