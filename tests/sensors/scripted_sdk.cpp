/* A sensor library driven by a scenario file, for tests of the binding and of everything built
 * on it. It exports QueryInterface like the real library; what it offers comes from the file
 * named by the environment variable TQV_SCRIPTED_SDK_SCENARIO, read again on every
 * QueryInterface call, at SdkCreate and on every SdkUpdate, so a test may rewrite the file
 * between updates (write a temporary file and rename it over the scenario). Without the
 * variable, or with an unreadable file, the library offers every operation and no device.
 *
 * Scenario format: one directive per line, words separated by blanks; '#' starts a comment line.
 *
 *   missing NAME...           these operations are absent (QueryInterface gives null); NAME is
 *                             one of Create Destroy Start Stop Update PostInit CpuTemp MemKind
 *                             MemMegabytes MemText DeviceTotal DeviceKind DeviceLabel
 *                             SensorTotal SensorRead (an "Sdk" prefix is allowed)
 *   handle N                  the instance handle SdkCreate returns (default 7)
 *   cputemp VALUE [STEP]      what SdkCpuTemp returns (default 0)
 *   memkind N                 SdkMemKind (default -1)
 *   memmb N                   SdkMemMegabytes (default -1)
 *   memtext TEXT              SdkMemText gives the rest of the line; without it, null
 *   devicetotal N             SdkDeviceTotal (default: the number of devices listed)
 *   device KIND [LABEL]       a new device of KIND; SdkDeviceLabel gives the rest of the line,
 *                             null when there is none
 *   sensor KIND VALUE [STEP] [invalid]
 *                             a sensor of KIND on the last device. Its value is VALUE + STEP *
 *                             (number of SdkUpdate calls since SdkCreate); "nan" and "inf" are
 *                             allowed. "invalid" makes SdkSensorRead report failure (it still
 *                             writes 999 and a name, which the caller must release)
 *   log PATH                  append one line per call to PATH ("create", "start FOLDER FILE
 *                             FLAGS", "postinit H", "update H", "stop H", "destroy H",
 *                             "sensortotal H DEVICE KIND", "sensorread H DEVICE INDEX KIND",
 *                             "devicekind H DEVICE", and "unload" when the library is unloaded)
 *
 * Numbers may be decimal or 0x-prefixed hexadecimal; device indexes count from 0 in file order.
 */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "sdk/sdk_interface.h"

namespace {

struct Sensor {
    int32_t kind = 0;
    float value = 0.0f;
    float step = 0.0f;
    bool valid = true;
};

struct Device {
    int32_t kind = 0;
    bool hasLabel = false;
    std::string label;
    std::vector<Sensor> sensors;
};

struct Scenario {
    std::vector<std::string> missing;
    int32_t handle = 7;
    float cpuTemp = 0.0f;
    float cpuTempStep = 0.0f;
    int32_t memKind = -1;
    int32_t memMegabytes = -1;
    bool hasMemText = false;
    std::string memText;
    bool hasDeviceTotal = false;
    int32_t deviceTotal = 0;
    std::vector<Device> devices;
    std::string logPath;
};

std::mutex gMutex;
Scenario gScenario;
long gUpdates = 0;
std::string gLogPath;  // kept for the unload line

int32_t ParseInt(const std::string& word) {
    return static_cast<int32_t>(std::strtoll(word.c_str(), nullptr, 0));
}

std::string RestOfLine(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    std::size_t begin = rest.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    std::size_t end = rest.find_last_not_of(" \t\r");
    return rest.substr(begin, end - begin + 1);
}

void Load() {
    Scenario scenario;
    const char* path = std::getenv("TQV_SCRIPTED_SDK_SCENARIO");
    std::ifstream file(path ? path : "");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::string word;
        if (!(in >> word) || word[0] == '#')
            continue;
        if (word == "missing") {
            std::string name;
            while (in >> name) {
                if (name.rfind("Sdk", 0) == 0)
                    name = name.substr(3);
                scenario.missing.push_back(name);
            }
        } else if (word == "handle" && in >> word) {
            scenario.handle = ParseInt(word);
        } else if (word == "cputemp" && in >> word) {
            scenario.cpuTemp = std::strtof(word.c_str(), nullptr);
            if (in >> word)
                scenario.cpuTempStep = std::strtof(word.c_str(), nullptr);
        } else if (word == "memkind" && in >> word) {
            scenario.memKind = ParseInt(word);
        } else if (word == "memmb" && in >> word) {
            scenario.memMegabytes = ParseInt(word);
        } else if (word == "memtext") {
            scenario.hasMemText = true;
            scenario.memText = RestOfLine(in);
        } else if (word == "devicetotal" && in >> word) {
            scenario.hasDeviceTotal = true;
            scenario.deviceTotal = ParseInt(word);
        } else if (word == "device" && in >> word) {
            Device device;
            device.kind = ParseInt(word);
            device.label = RestOfLine(in);
            device.hasLabel = !device.label.empty();
            scenario.devices.push_back(device);
        } else if (word == "sensor" && !scenario.devices.empty() && in >> word) {
            Sensor sensor;
            sensor.kind = ParseInt(word);
            if (in >> word)
                sensor.value = std::strtof(word.c_str(), nullptr);
            while (in >> word) {
                if (word == "invalid") {
                    sensor.valid = false;
                } else {
                    sensor.step = std::strtof(word.c_str(), nullptr);
                }
            }
            scenario.devices.back().sensors.push_back(sensor);
        } else if (word == "log") {
            scenario.logPath = RestOfLine(in);
        }
    }
    gScenario = scenario;
    gLogPath = scenario.logPath;
}

void Log(const std::string& text) {
    if (gLogPath.empty())
        return;
    if (std::FILE* f = std::fopen(gLogPath.c_str(), "a")) {
        std::fprintf(f, "%s\n", text.c_str());
        std::fclose(f);
    }
}

// snprintf rather than std::to_string: the latter brings a GNU unique symbol that pins the
// library in memory after dlclose, and the tests check that the library is unloaded.
std::string Str(long long v) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", v);
    return text;
}

const Device* DeviceAt(int32_t device) {
    if (device < 0 || static_cast<std::size_t>(device) >= gScenario.devices.size())
        return nullptr;
    return &gScenario.devices[static_cast<std::size_t>(device)];
}

SdkHandle Create() {
    std::lock_guard<std::mutex> lock(gMutex);
    Load();
    gUpdates = 0;
    Log("create");
    return gScenario.handle;
}

void Destroy(SdkHandle sdk) {
    std::lock_guard<std::mutex> lock(gMutex);
    Log("destroy " + Str(sdk));
}

int32_t Start(SdkHandle sdk, const char* folder, const char* fileName, int32_t flags, int32_t* out1,
              int32_t* out2) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (out1)
        *out1 = 1;
    if (out2)
        *out2 = 2;
    Log("start " + Str(sdk) + " " + (folder ? folder : "(null)") + " " +
        (fileName ? fileName : "(null)") + " " + Str(flags));
    return 1;
}

void Stop(SdkHandle sdk) {
    std::lock_guard<std::mutex> lock(gMutex);
    Log("stop " + Str(sdk));
}

void Update(SdkHandle sdk) {
    std::lock_guard<std::mutex> lock(gMutex);
    Load();
    ++gUpdates;
    Log("update " + Str(sdk));
}

void PostInit(SdkHandle sdk, int32_t* out) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (out)
        *out = 0;
    Log("postinit " + Str(sdk));
}

float CpuTemp(SdkHandle, int32_t) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gScenario.cpuTemp + gScenario.cpuTempStep * static_cast<float>(gUpdates);
}

int32_t MemKind(SdkHandle) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gScenario.memKind;
}

int32_t MemMegabytes(SdkHandle) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gScenario.memMegabytes;
}

SdkText MemText(SdkHandle, int32_t) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gScenario.hasMemText ? SdkTextAlloc(gScenario.memText.c_str()) : nullptr;
}

int32_t DeviceTotal(SdkHandle) {
    std::lock_guard<std::mutex> lock(gMutex);
    return gScenario.hasDeviceTotal ? gScenario.deviceTotal
                                    : static_cast<int32_t>(gScenario.devices.size());
}

int32_t DeviceKind(SdkHandle sdk, int32_t device) {
    std::lock_guard<std::mutex> lock(gMutex);
    Log("devicekind " + Str(sdk) + " " + Str(device));
    const Device* d = DeviceAt(device);
    return d ? d->kind : 0;
}

SdkText DeviceLabel(SdkHandle, int32_t device) {
    std::lock_guard<std::mutex> lock(gMutex);
    const Device* d = DeviceAt(device);
    return d && d->hasLabel ? SdkTextAlloc(d->label.c_str()) : nullptr;
}

int32_t SensorTotal(SdkHandle sdk, int32_t device, int32_t kind) {
    std::lock_guard<std::mutex> lock(gMutex);
    Log("sensortotal " + Str(sdk) + " " + Str(device) + " " + Str(kind));
    const Device* d = DeviceAt(device);
    if (!d)
        return 0;
    int32_t count = 0;
    for (const Sensor& s : d->sensors) {
        if (kind == SDK_SENSOR_ANY || s.kind == kind)
            ++count;
    }
    return count;
}

int32_t SensorRead(SdkHandle sdk, int32_t device, int32_t index, int32_t kind, int32_t* out1,
                   SdkText* name, int32_t* out2, float* value, float* minimum, float* maximum) {
    std::lock_guard<std::mutex> lock(gMutex);
    Log("sensorread " + Str(sdk) + " " + Str(device) + " " + Str(index) + " " + Str(kind));
    const Device* d = DeviceAt(device);
    if (!d)
        return 0;
    int32_t seen = 0;
    for (const Sensor& s : d->sensors) {
        if (s.kind != kind)
            continue;
        if (seen++ != index)
            continue;
        if (out1)
            *out1 = 1;
        if (out2)
            *out2 = 2;
        if (name)
            *name = SdkTextAlloc("scripted sensor");
        if (minimum)
            *minimum = -1000.0f;
        if (maximum)
            *maximum = 1000.0f;
        if (!s.valid) {
            if (value)
                *value = 999.0f;
            return 0;
        }
        if (value)
            *value = s.value + s.step * static_cast<float>(gUpdates);
        return 1;
    }
    return 0;
}

struct Operation {
    uint32_t id;
    const char* name;
    void* fn;
};

bool IsMissing(const char* name) {
    for (const std::string& m : gScenario.missing) {
        if (m == name)
            return true;
    }
    return false;
}

struct UnloadLogger {
    ~UnloadLogger() {
        std::lock_guard<std::mutex> lock(gMutex);
        Log("unload");
    }
} gUnloadLogger;

}  // namespace

extern "C" __attribute__((visibility("default"))) void* QueryInterface(uint32_t id) {
    static const Operation operations[] = {
        {SDK_ID_CREATE, "Create", reinterpret_cast<void*>(&Create)},
        {SDK_ID_DESTROY, "Destroy", reinterpret_cast<void*>(&Destroy)},
        {SDK_ID_START, "Start", reinterpret_cast<void*>(&Start)},
        {SDK_ID_STOP, "Stop", reinterpret_cast<void*>(&Stop)},
        {SDK_ID_UPDATE, "Update", reinterpret_cast<void*>(&Update)},
        {SDK_ID_POST_INIT, "PostInit", reinterpret_cast<void*>(&PostInit)},
        {SDK_ID_CPU_TEMP, "CpuTemp", reinterpret_cast<void*>(&CpuTemp)},
        {SDK_ID_MEM_KIND, "MemKind", reinterpret_cast<void*>(&MemKind)},
        {SDK_ID_MEM_MEGABYTES, "MemMegabytes", reinterpret_cast<void*>(&MemMegabytes)},
        {SDK_ID_MEM_TEXT, "MemText", reinterpret_cast<void*>(&MemText)},
        {SDK_ID_DEVICE_TOTAL, "DeviceTotal", reinterpret_cast<void*>(&DeviceTotal)},
        {SDK_ID_DEVICE_KIND, "DeviceKind", reinterpret_cast<void*>(&DeviceKind)},
        {SDK_ID_DEVICE_LABEL, "DeviceLabel", reinterpret_cast<void*>(&DeviceLabel)},
        {SDK_ID_SENSOR_TOTAL, "SensorTotal", reinterpret_cast<void*>(&SensorTotal)},
        {SDK_ID_SENSOR_READ, "SensorRead", reinterpret_cast<void*>(&SensorRead)},
    };
    std::lock_guard<std::mutex> lock(gMutex);
    Load();
    for (const Operation& op : operations) {
        if (op.id == id)
            return IsMissing(op.name) ? nullptr : op.fn;
    }
    return nullptr;
}
