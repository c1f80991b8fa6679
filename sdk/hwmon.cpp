#include "sdk/hwmon.h"

#include <sensors/error.h>
#include <sensors/sensors.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/fs_roots.h"
#include "sdk/kept_file.h"

namespace tqv::sdk {
namespace {

// libsensors' state is global and not safe from several threads at once.
std::mutex& SessionMutex() {
    static std::mutex mutex;
    return mutex;
}

// The one live session and the number of its users, both guarded by SessionMutex().
HwmonSession* g_session = nullptr;
int g_sessionUsers = 0;

// sensors.conf errors are the user's business; the library never prints.
void QuietParseError(const char*, int) {}
void QuietParseErrorWithFile(const char*, const char*, int) {}

// Opens the configuration for a redirected /etc; null means libsensors' own default files.
std::FILE* OpenRedirectedConfig() {
    std::string etc = platform::EtcRoot();
    if (etc == "/etc") return nullptr;
    for (const char* name : {"/sensors3.conf", "/sensors.conf"}) {
        if (std::FILE* file = std::fopen((etc + name).c_str(), "re")) return file;
    }
    return std::fopen("/dev/null", "re");
}

}  // namespace

std::shared_ptr<HwmonSession> HwmonSession::Acquire() {
    std::lock_guard lock(SessionMutex());
    if (!g_session) {
        g_session = new HwmonSession();
        sensors_parse_error = QuietParseError;
        sensors_parse_error_wfn = QuietParseErrorWithFile;
        std::FILE* config = OpenRedirectedConfig();
        int failed = sensors_init(config);
        if (config) std::fclose(config);
        if (failed) {
            // A broken sensors.conf must not cost the chips: go on without any configuration.
            sensors_cleanup();
            std::FILE* empty = std::fopen("/dev/null", "re");
            failed = sensors_init(empty);
            if (empty) std::fclose(empty);
        }
        g_session->initialised_ = !failed;
        if (g_session->initialised_) g_session->Scan();
    }
    ++g_sessionUsers;
    return std::shared_ptr<HwmonSession>(g_session, [](HwmonSession*) {
        std::lock_guard release(SessionMutex());
        if (--g_sessionUsers == 0) {
            delete g_session;
            g_session = nullptr;
        }
    });
}

HwmonSession::~HwmonSession() {
    // Runs with SessionMutex() held by the last user's release.
    chips_.clear();
    if (initialised_) sensors_cleanup();
}

void HwmonSession::Scan() {
    int chipNr = 0;
    while (const sensors_chip_name* name = sensors_get_detected_chips(nullptr, &chipNr)) {
        HwmonChip chip;
        chip.handle = name;
        chip.prefix = name->prefix ? name->prefix : "";
        chip.path = name->path ? name->path : "";
        chip.realPath = RealPath(chip.path);
        chip.busType = name->bus.type;
        chip.address = name->addr;

        int featureNr = 0;
        while (const sensors_feature* feature = sensors_get_features(name, &featureNr)) {
            HwmonFeature entry;
            const sensors_subfeature* value = nullptr;
            switch (feature->type) {
                case SENSORS_FEATURE_TEMP:
                    entry.kind = HwmonKind::Temperature;
                    value = sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_TEMP_INPUT);
                    break;
                case SENSORS_FEATURE_FAN:
                    entry.kind = HwmonKind::Fan;
                    value = sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_FAN_INPUT);
                    break;
                case SENSORS_FEATURE_POWER:
                    entry.kind = HwmonKind::Power;
                    value =
                        sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_POWER_AVERAGE);
                    if (!value) {
                        value =
                            sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_POWER_INPUT);
                    }
                    break;
                case SENSORS_FEATURE_ENERGY:
                    entry.kind = HwmonKind::Energy;
                    value =
                        sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_ENERGY_INPUT);
                    break;
                default:
                    break;
            }
            if (!value || !(value->flags & SENSORS_MODE_R)) continue;
            entry.name = feature->name ? feature->name : "";
            entry.subfeature = value->number;
            if (char* label = sensors_get_label(name, feature)) {
                entry.label = label;
                std::free(label);
            } else {
                entry.label = entry.name;
            }
            chip.features.push_back(std::move(entry));
        }
        chips_.push_back(std::move(chip));
    }
}

std::optional<double> HwmonSession::Read(const HwmonChip& chip,
                                         const HwmonFeature& feature) const {
    if (!initialised_ || !chip.handle || feature.subfeature < 0) return std::nullopt;
    std::lock_guard lock(SessionMutex());
    double value = 0;
    if (sensors_get_value(static_cast<const sensors_chip_name*>(chip.handle), feature.subfeature,
                          &value) < 0 ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace tqv::sdk
