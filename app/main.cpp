// tarquelonvist: the hardware monitor for USB TFT displays.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/commands.h"
#include "app/version.h"
#include "platform/debug_log.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: tarquelonvist [MODE] [OPTIONS]\n"
                 "\n"
                 "Modes:\n"
                 "  --headless        run the monitor without a window, feeding the display\n"
                 "  --settings        load the settings (creating them on a first start) and print them\n"
                 "  --sensors         print the hardware inventory and the live readings\n"
                 "  --help            show this help\n"
                 "  --version         show the version\n"
                 "\n"
                 "Options:\n"
                 "  --json            with --sensors: print one JSON object\n"
                 "  --port PATH       also probe this serial port (repeatable)\n"
                 "  --trace-frames    print every display frame to standard error\n"
                 "\n"
                 "With --headless, SIGTERM or SIGINT stops the monitor and SIGUSR1 rebuilds the\n"
                 "serial display link.\n");
}

}  // namespace

int main(int argc, char** argv) {
    enum class Mode { None, Headless, Settings, Sensors };
    Mode mode = Mode::None;
    tqv::CommandOptions options;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        Mode chosen = Mode::None;
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tarquelonvist %s\n", tqv::kVersion);
            return 0;
        } else if (arg == "--headless") {
            chosen = Mode::Headless;
        } else if (arg == "--settings") {
            chosen = Mode::Settings;
        } else if (arg == "--sensors") {
            chosen = Mode::Sensors;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--trace-frames") {
            options.traceFrames = true;
        } else if (arg == "--port" && i + 1 < argc) {
            options.ports.emplace_back(argv[++i]);
        } else if (arg.rfind("--port=", 0) == 0) {
            options.ports.emplace_back(arg.substr(7));
        } else {
            std::fprintf(stderr, "tarquelonvist: unknown option '%s'\n\n", arg.c_str());
            PrintUsage(stderr);
            return 2;
        }
        if (chosen != Mode::None) {
            if (mode != Mode::None && mode != chosen) {
                std::fprintf(stderr, "tarquelonvist: choose one mode\n");
                return 2;
            }
            mode = chosen;
        }
    }

    tqv::platform::SetDebugOutputEnabled(options.traceFrames);

    switch (mode) {
        case Mode::Settings:
            return tqv::RunSettingsCommand(options);
        case Mode::Sensors:
            return tqv::RunSensorsCommand(options);
        case Mode::Headless:
        case Mode::None:
            return tqv::RunHeadlessCommand(options);
    }
    return 0;
}
