// The program's command-line modes. main() parses the options and runs one of these.
#pragma once

#include <string>
#include <vector>

namespace tqv {

struct CommandOptions {
    bool json = false;                // --json (with --sensors)
    bool traceFrames = false;         // --trace-frames
    std::vector<std::string> ports;   // --port PATH, in the order given
};

// --settings: loads the settings as start-up does and prints them.
int RunSettingsCommand(const CommandOptions& options);

// --sensors: binds the sensor library, prints the inventory and the readings.
int RunSensorsCommand(const CommandOptions& options);

// --headless: the monitor without a window, feeding the display until SIGTERM or SIGINT.
int RunHeadlessCommand(const CommandOptions& options);

}  // namespace tqv
