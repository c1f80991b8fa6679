// --sensors: binds the sensor library beside the executable, collects the inventory, takes the
// readings twice one second apart (two-sample values such as load and power need the interval)
// and prints both, as text or as one JSON object.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "app/commands.h"
#include "platform/paths.h"
#include "sdk/sdk_interface.h"
#include "sensors/sensor_hub.h"

namespace tqv {

namespace {

struct InventoryRow {
    const char* caption;
    std::string text;
};

struct ReadingRow {
    const char* name;
    float value;
    const char* unit;
};

// Appends `text` as a JSON string. Control characters are escaped; bytes that do not form
// UTF-8 become U+FFFD, so the output is valid JSON whatever the library handed over.
void AppendJsonString(std::string& out, const std::string& text) {
    out.push_back('"');
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        char escape[8];
                        std::snprintf(escape, sizeof escape, "\\u%04x", c);
                        out += escape;
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
            ++i;
            continue;
        }
        // A multi-byte sequence: its length from the lead byte, then the continuation bytes and
        // the ranges that rule out overlong forms, surrogates and values above U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;
            if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F;
        }
        bool valid = length > 0 && i + length <= n && s[i + 1] >= low && s[i + 1] <= high;
        for (std::size_t k = 2; valid && k < length; ++k) {
            valid = s[i + k] >= 0x80 && s[i + k] <= 0xBF;
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out.push_back('"');
}

// A reading as a JSON number: the shortest text that reads back as the same float; null for
// values JSON cannot carry (not a number, infinities).
void AppendJsonNumber(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

}  // namespace

int RunSensorsCommand(const CommandOptions& options) {
    SensorHub hub;
    hub.BindSdk(platform::ExecutableFolder(), kSdkFileName);
    hub.CollectInventory();

    // The worker's order: load, clock, fan, power, temperature.
    const std::int32_t kinds[] = {SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN,
                                  SDK_SENSOR_POWER, SDK_SENSOR_TEMPERATURE};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass > 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        for (std::int32_t kind : kinds)
            hub.RefreshReadings(kind);
    }

    const InventoryRow inventory[] = {
        {"CPU", hub.cpuName},
        {"Mainboard", hub.boardName},
        {"RAM", hub.ramText},
        {"Disk Drive", hub.drives.empty() ? std::string() : hub.drives.front()},
        {"Graphics Card", hub.gpuName},
        {"Sound Card", hub.soundCards.empty() ? std::string() : hub.soundCards.front()},
        {"Network Card", hub.networkName},
        {"System Version", hub.osVersion},
    };
    const SensorReadings& r = hub.readings;
    const ReadingRow readings[] = {
        {"cpuTempC", r.cpuTempC,
         "\xC2\xB0"
         "C"},
        {"cpuClockMhz", r.cpuClockMhz, "MHz"},
        {"cpuFanRpm", r.cpuFanRpm, "RPM"},
        {"cpuPowerW", r.cpuPowerW, "W"},
        {"cpuLoadPct", r.cpuLoadPct, "%"},
        {"gpuTempC", r.gpuTempC,
         "\xC2\xB0"
         "C"},
        {"gpuClockMhz", r.gpuClockMhz, "MHz"},
        {"gpuFanRpm", r.gpuFanRpm, "RPM"},
        {"gpuPowerW", r.gpuPowerW, "W"},
        {"gpuLoadPct", r.gpuLoadPct, "%"},
    };

    std::string out;
    if (options.json) {
        out += "{\"inventory\": {";
        bool first = true;
        for (const InventoryRow& row : inventory) {
            if (!first)
                out += ", ";
            first = false;
            AppendJsonString(out, row.caption);
            out += ": ";
            AppendJsonString(out, row.text);
        }
        out += "}, \"readings\": {";
        first = true;
        for (const ReadingRow& row : readings) {
            if (!first)
                out += ", ";
            first = false;
            AppendJsonString(out, row.name);
            out += ": ";
            AppendJsonNumber(out, row.value);
        }
        out += "}}\n";
    } else {
        char line[128];
        for (const InventoryRow& row : inventory) {
            std::snprintf(line, sizeof line, "%-16s", row.caption);
            out += line;
            // One row per line: line breaks and other control characters in a name become
            // blanks; the tab between the system's name and version stays.
            for (char c : row.text) {
                unsigned char u = static_cast<unsigned char>(c);
                out.push_back((u < 0x20 && c != '\t') || u == 0x7F ? ' ' : c);
            }
            out += '\n';
        }
        out += '\n';
        for (const ReadingRow& row : readings) {
            std::snprintf(line, sizeof line, "%-16s%.1f %s\n", row.name,
                          static_cast<double>(row.value), row.unit);
            out += line;
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace tqv
