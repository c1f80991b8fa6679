// A stand-in for NVIDIA's management library, built as libnvidia-ml.so.1 for tests and the
// benchmark. It offers the calls the sensor library makes, answering from a scenario file read
// at nvmlInit_v2 (path in TQV_FAKE_NVML_SCENARIO), one card per line:
//
//   0000:01:00.0 name=NVIDIA_GeForce_RTX_3080 temp=52 clock=1710 fan_rpm=1450 power_mw=215000
//   util=37
//
// ('_' in a name reads as a blank). A value left out answers NVML_ERROR_NOT_SUPPORTED. Tests ask
// what was called through FakeNvmlInitCount() and FakeNvmlCardCalls(address), which count
// nvmlInit_v2 calls and every call that named or used that card.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace {

constexpr int kSuccess = 0;
constexpr int kUninitialized = 1;
constexpr int kInvalidArgument = 2;
constexpr int kNotSupported = 3;
constexpr int kNotFound = 6;

struct Card {
    std::string address;
    std::string name;
    std::map<std::string, unsigned> values;
    int calls = 0;
};

std::mutex g_mutex;
std::map<std::string, Card> g_cards;
int g_initCount = 0;
int g_initialised = 0;

// "00000000:01:00.0" and "0000:01:00.0" name the same card.
std::string Normalise(const char* address) {
    std::string text = address ? address : "";
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto colon = text.find(':');
    if (colon != std::string::npos && colon > 4)
        text = text.substr(colon - 4);
    return text;
}

void LoadScenario() {
    g_cards.clear();
    const char* path = std::getenv("TQV_FAKE_NVML_SCENARIO");
    if (!path)
        return;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Card card;
        if (!(words >> card.address))
            continue;
        card.address = Normalise(card.address.c_str());
        std::string word;
        while (words >> word) {
            auto equals = word.find('=');
            if (equals == std::string::npos)
                continue;
            std::string key = word.substr(0, equals);
            std::string value = word.substr(equals + 1);
            if (key == "name") {
                for (char& c : value)
                    c = c == '_' ? ' ' : c;
                card.name = value;
            } else {
                card.values[key] = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
            }
        }
        g_cards[card.address] = card;
    }
}

Card* CardOf(void* device) {
    for (auto& [address, card] : g_cards) {
        if (&card == device)
            return &card;
    }
    return nullptr;
}

int Value(void* device, const char* key, unsigned* out) {
    std::lock_guard lock(g_mutex);
    if (!g_initialised)
        return kUninitialized;
    Card* card = CardOf(device);
    if (!card || !out)
        return kInvalidArgument;
    ++card->calls;
    auto found = card->values.find(key);
    if (found == card->values.end())
        return kNotSupported;
    *out = found->second;
    return kSuccess;
}

struct Utilization {
    unsigned gpu;
    unsigned memory;
};

struct FanSpeedInfo {
    unsigned version;
    unsigned fan;
    unsigned speed;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int nvmlInit_v2() {
    std::lock_guard lock(g_mutex);
    ++g_initCount;
    if (g_initialised++ == 0)
        LoadScenario();
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlShutdown() {
    std::lock_guard lock(g_mutex);
    if (g_initialised == 0)
        return kUninitialized;
    --g_initialised;
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetHandleByPciBusId_v2(const char* address,
                                                                            void** device) {
    std::lock_guard lock(g_mutex);
    if (!g_initialised)
        return kUninitialized;
    if (!device)
        return kInvalidArgument;
    auto found = g_cards.find(Normalise(address));
    if (found == g_cards.end())
        return kNotFound;
    ++found->second.calls;
    *device = &found->second;
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetName(void* device, char* name,
                                                             unsigned length) {
    std::lock_guard lock(g_mutex);
    Card* card = CardOf(device);
    if (!g_initialised)
        return kUninitialized;
    if (!card || !name || length == 0)
        return kInvalidArgument;
    ++card->calls;
    std::snprintf(name, length, "%s", card->name.c_str());
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetTemperature(void* device, int sensor,
                                                                    unsigned* temp) {
    return sensor == 0 ? Value(device, "temp", temp) : kInvalidArgument;
}

__attribute__((visibility("default"))) int nvmlDeviceGetClockInfo(void* device, int type,
                                                                  unsigned* clock) {
    return type == 0 ? Value(device, "clock", clock) : kNotSupported;
}

__attribute__((visibility("default"))) int nvmlDeviceGetFanSpeedRPM(void* device, void* data) {
    auto* info = static_cast<FanSpeedInfo*>(data);
    if (!info || info->version != (sizeof(FanSpeedInfo) | (1u << 24)))
        return kInvalidArgument;
    return Value(device, "fan_rpm", &info->speed);
}

// Offered so that a reader mistaking the duty cycle for revolutions would be caught: it answers
// a percentage.
__attribute__((visibility("default"))) int nvmlDeviceGetFanSpeed(void* device, unsigned* speed) {
    return Value(device, "fan_pct", speed);
}

__attribute__((visibility("default"))) int nvmlDeviceGetPowerUsage(void* device,
                                                                   unsigned* milliwatts) {
    return Value(device, "power_mw", milliwatts);
}

__attribute__((visibility("default"))) int nvmlDeviceGetUtilizationRates(void* device, void* data) {
    auto* rates = static_cast<Utilization*>(data);
    if (!rates)
        return kInvalidArgument;
    rates->memory = 0;
    return Value(device, "util", &rates->gpu);
}

__attribute__((visibility("default"))) int FakeNvmlInitCount() {
    std::lock_guard lock(g_mutex);
    return g_initCount;
}

__attribute__((visibility("default"))) int FakeNvmlCardCalls(const char* address) {
    std::lock_guard lock(g_mutex);
    auto found = g_cards.find(Normalise(address));
    return found == g_cards.end() ? 0 : found->second.calls;
}

}  // extern "C"
