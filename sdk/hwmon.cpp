#include "sdk/hwmon.h"

#include <sensors/error.h>
#include <sensors/sensors.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/fs_roots.h"
#include "sdk/kept_file.h"
#include "sdk/sensors_conf.h"

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
// `path` receives the file opened.
std::FILE* OpenRedirectedConfig(std::string& path) {
    std::string etc = platform::EtcRoot();
    if (etc == "/etc")
        return nullptr;
    for (const char* name : {"/sensors3.conf", "/sensors.conf"}) {
        path = etc + name;
        if (std::FILE* file = std::fopen(path.c_str(), "re"))
            return file;
    }
    path = "/dev/null";
    return std::fopen(path.c_str(), "re");
}

// libsensors' scaling of a feature's sysfs number to its unit.
double Scaling(HwmonKind kind) {
    switch (kind) {
        case HwmonKind::Temperature:
            return 1000.0;
        case HwmonKind::Fan:
            return 1.0;
        case HwmonKind::Power:
        case HwmonKind::Energy:
            return 1000000.0;
    }
    return 1.0;
}

}  // namespace

std::shared_ptr<HwmonSession> HwmonSession::Acquire() {
    std::lock_guard lock(SessionMutex());
    if (!g_session) {
        g_session = new HwmonSession();
        sensors_parse_error = QuietParseError;
        sensors_parse_error_wfn = QuietParseErrorWithFile;
        std::string configPath;
        std::FILE* config = OpenRedirectedConfig(configPath);
        int failed = sensors_init(config);
        if (config)
            std::fclose(config);
        if (failed) {
            configPath = "/dev/null";
            // A broken sensors.conf must not cost the chips: go on without any configuration.
            sensors_cleanup();
            std::FILE* empty = std::fopen("/dev/null", "re");
            failed = sensors_init(empty);
            if (empty)
                std::fclose(empty);
        }
        g_session->initialised_ = !failed;
        if (g_session->initialised_)
            g_session->Scan(configPath);
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
    if (initialised_)
        sensors_cleanup();
}

void HwmonSession::Scan(const std::string& configFile) {
    ComputeLines computes = ComputeLines::Load(configFile);
    int chipNr = 0;
    while (const sensors_chip_name* name = sensors_get_detected_chips(nullptr, &chipNr)) {
        HwmonChip chip;
        chip.handle = name;
        chip.prefix = name->prefix ? name->prefix : "";
        chip.path = name->path ? name->path : "";
        chip.realPath = RealPath(chip.path);
        chip.busType = name->bus.type;
        chip.address = name->addr;
        char fullName[256];
        if (sensors_snprintf_chip_name(fullName, sizeof fullName, name) > 0) {
            chip.fullName = fullName;
        }

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
                    value = sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_POWER_AVERAGE);
                    if (!value) {
                        value =
                            sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_POWER_INPUT);
                    }
                    break;
                case SENSORS_FEATURE_ENERGY:
                    entry.kind = HwmonKind::Energy;
                    value = sensors_get_subfeature(name, feature, SENSORS_SUBFEATURE_ENERGY_INPUT);
                    break;
                default:
                    break;
            }
            if (!value || !(value->flags & SENSORS_MODE_R))
                continue;
            entry.name = feature->name ? feature->name : "";
            entry.subfeature = value->number;
            entry.file = value->name ? value->name : "";
            entry.scale = Scaling(entry.kind);
            if (chip.fullName.empty() || entry.file.empty()) {
                entry.libraryOnly = true;
            } else if (auto text = computes.Expression(chip.fullName, entry.name)) {
                entry.compute = ComputeExpression::Parse(*text);
                entry.libraryOnly = !entry.compute;
            }
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

std::optional<double> HwmonSession::Read(const HwmonChip& chip, const HwmonFeature& feature) const {
    if (!initialised_ || !chip.handle || feature.subfeature < 0)
        return std::nullopt;
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
