#include "sensors/sensor_hub.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>

#include "platform/system_info.h"

namespace tqv {

namespace {

// Names and memory texts are copied through 512-byte buffers, system facts through buffers of
// 256 characters; longer texts are cut there, never in the middle of a UTF-8 sequence.
constexpr std::size_t kTextBufferBytes = 512;
constexpr std::size_t kSystemTextCharacters = 255;

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// `text` cut to at most `maxBytes` bytes, dropping a multi-byte sequence the cut would split.
std::string CutToBytes(const char* text, std::size_t maxBytes) {
    std::size_t length = strnlen(text, maxBytes + 1);
    if (length <= maxBytes)
        return std::string(text, length);
    length = maxBytes;
    // Back up to the lead byte of the sequence that straddles the cut, then keep it only when
    // it ends exactly at the cut.
    std::size_t lead = length;
    while (lead > 0 && IsContinuation(static_cast<unsigned char>(text[lead - 1])))
        --lead;
    if (lead > 0) {
        unsigned char c = static_cast<unsigned char>(text[lead - 1]);
        std::size_t need = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
        if (length - (lead - 1) < need)
            length = lead - 1;
    }
    return std::string(text, length);
}

// `text` cut to at most `maxCharacters` UTF-8 characters.
std::string CutToCharacters(const std::string& text, std::size_t maxCharacters) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsContinuation(static_cast<unsigned char>(text[i])))
            continue;
        if (characters == maxCharacters)
            return text.substr(0, i);
        ++characters;
    }
    return text;
}

// Takes a text from the library: copies at most 511 bytes of it and releases it.
std::string TakeText(SdkText text) {
    std::string copy = CutToBytes(text, kTextBufferBytes - 1);
    SdkTextFree(text);
    return copy;
}

template <typename Fn>
Fn Entry(const CPUIDSDK& sdk, int entry) {
    return reinterpret_cast<Fn>(sdk.entries[static_cast<std::size_t>(entry)]);
}

template <typename Step>
void RunStep(Step step) {
    // A step that throws (an allocation failure, a file system error) ends alone; the next
    // step still runs.
    try {
        step();
    } catch (const std::exception&) {
    }
}

}  // namespace

// ---- CPUIDSDK ---------------------------------------------------------------------------------

const std::array<std::uint32_t, SDK_ENTRY_COUNT>& CPUIDSDK::EntryIds() {
    static const std::array<std::uint32_t, SDK_ENTRY_COUNT> ids = [] {
        std::array<std::uint32_t, SDK_ENTRY_COUNT> table{};
        table[SDK_ENTRY_CREATE] = SDK_ID_CREATE;
        table[SDK_ENTRY_DESTROY] = SDK_ID_DESTROY;
        table[SDK_ENTRY_START] = SDK_ID_START;
        table[SDK_ENTRY_STOP] = SDK_ID_STOP;
        table[SDK_ENTRY_UPDATE] = SDK_ID_UPDATE;
        table[SDK_ENTRY_POST_INIT] = SDK_ID_POST_INIT;
        table[SDK_ENTRY_CPU_TEMP] = SDK_ID_CPU_TEMP;
        table[SDK_ENTRY_MEM_KIND] = SDK_ID_MEM_KIND;
        table[SDK_ENTRY_MEM_MEGABYTES] = SDK_ID_MEM_MEGABYTES;
        table[SDK_ENTRY_MEM_TEXT] = SDK_ID_MEM_TEXT;
        table[SDK_ENTRY_DEVICE_TOTAL] = SDK_ID_DEVICE_TOTAL;
        table[SDK_ENTRY_DEVICE_KIND] = SDK_ID_DEVICE_KIND;
        table[SDK_ENTRY_DEVICE_LABEL] = SDK_ID_DEVICE_LABEL;
        table[SDK_ENTRY_SENSOR_TOTAL] = SDK_ID_SENSOR_TOTAL;
        table[SDK_ENTRY_SENSOR_READ] = SDK_ID_SENSOR_READ;
        return table;
    }();
    return ids;
}

void CPUIDSDK::FillEntries(SdkQueryInterfaceFn query) {
    if (!query)
        return;
    const auto& ids = EntryIds();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = ids[i] ? query(ids[i]) : nullptr;
    }
}

SdkHandle CPUIDSDK::SdkCreate() {
    auto fn = Entry<SdkCreateFn>(*this, SDK_ENTRY_CREATE);
    handle = fn ? fn() : 0;
    return handle;
}

void CPUIDSDK::SdkDestroy() const {
    if (auto fn = Entry<SdkDestroyFn>(*this, SDK_ENTRY_DESTROY))
        fn(handle);
}

void CPUIDSDK::SdkStart(const std::string& folder, const std::string& fileName) const {
    if (auto fn = Entry<SdkStartFn>(*this, SDK_ENTRY_START)) {
        std::int32_t out1 = 0, out2 = 0;
        fn(handle, folder.c_str(), fileName.c_str(), 0x7FFFFFFF, &out1, &out2);
    }
}

void CPUIDSDK::SdkStop() const {
    if (auto fn = Entry<SdkStopFn>(*this, SDK_ENTRY_STOP))
        fn(handle);
}

void CPUIDSDK::SdkUpdate() const {
    if (auto fn = Entry<SdkUpdateFn>(*this, SDK_ENTRY_UPDATE))
        fn(handle);
}

void CPUIDSDK::SdkPostInit() const {
    if (auto fn = Entry<SdkPostInitFn>(*this, SDK_ENTRY_POST_INIT)) {
        std::int32_t out = 0;
        fn(handle, &out);
    }
}

float CPUIDSDK::SdkCpuTemp(std::int32_t index) const {
    auto fn = Entry<SdkCpuTempFn>(*this, SDK_ENTRY_CPU_TEMP);
    return fn ? fn(handle, index) : -1.0f;
}

std::int32_t CPUIDSDK::SdkMemKind() const {
    auto fn = Entry<SdkMemKindFn>(*this, SDK_ENTRY_MEM_KIND);
    return fn ? fn(handle) : -1;
}

std::int32_t CPUIDSDK::SdkMemMegabytes() const {
    auto fn = Entry<SdkMemMegabytesFn>(*this, SDK_ENTRY_MEM_MEGABYTES);
    return fn ? fn(handle) : -1;
}

std::string CPUIDSDK::SdkMemText(std::int32_t index) const {
    auto fn = Entry<SdkMemTextFn>(*this, SDK_ENTRY_MEM_TEXT);
    if (!fn)
        return {};
    SdkText text = fn(handle, index);
    return text ? TakeText(text) : std::string();
}

std::int32_t CPUIDSDK::SdkDeviceTotal() const {
    auto fn = Entry<SdkDeviceTotalFn>(*this, SDK_ENTRY_DEVICE_TOTAL);
    return fn ? fn(handle) : -1;
}

std::optional<std::int32_t> CPUIDSDK::SdkDeviceKind(std::int32_t device) const {
    auto fn = Entry<SdkDeviceKindFn>(*this, SDK_ENTRY_DEVICE_KIND);
    if (!fn)
        return std::nullopt;
    return fn(handle, device);
}

std::optional<std::string> CPUIDSDK::SdkDeviceLabel(std::int32_t device) const {
    auto fn = Entry<SdkDeviceLabelFn>(*this, SDK_ENTRY_DEVICE_LABEL);
    if (!fn)
        return std::nullopt;
    SdkText text = fn(handle, device);
    if (!text)
        return std::nullopt;
    return TakeText(text);
}

std::optional<std::int32_t> CPUIDSDK::SdkSensorTotal(std::int32_t device, std::int32_t kind) const {
    auto fn = Entry<SdkSensorTotalFn>(*this, SDK_ENTRY_SENSOR_TOTAL);
    if (!fn)
        return std::nullopt;
    return fn(handle, device, kind);
}

std::optional<float> CPUIDSDK::SdkSensorRead(std::int32_t device, std::int32_t index,
                                             std::int32_t kind) const {
    auto fn = Entry<SdkSensorReadFn>(*this, SDK_ENTRY_SENSOR_READ);
    if (!fn)
        return std::nullopt;
    std::int32_t out1 = 0, out2 = 0;
    SdkText name = nullptr;
    float value = 0.0f, minimum = 0.0f, maximum = 0.0f;
    std::int32_t valid =
        fn(handle, device, index, kind, &out1, &name, &out2, &value, &minimum, &maximum);
    SdkTextFree(name);
    if (!valid)
        return std::nullopt;
    return value;
}

// ---- SensorHub --------------------------------------------------------------------------------

SensorHub::SensorHub() = default;

SensorHub::~SensorHub() {
    Release();
}

const CPUIDSDK& SensorHub::Sdk() const {
    // Unbound, every operation is missing and gives its fall-back.
    static const CPUIDSDK unbound;
    return sdk_ ? *sdk_ : unbound;
}

void SensorHub::Release() {
    if (sdk_) {
        sdk_->SdkStop();
        sdk_->SdkDestroy();
        sdk_.reset();
    }
    library_.Unload();
}

bool SensorHub::BindSdk(const std::string& folder, const std::string& fileName) {
    if (fileName.empty())
        return false;
    Release();
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    path += fileName;
    // Only ever a path: a bare name would make the loader search the library path.
    if (path.find('/') == std::string::npos)
        return false;
    if (!library_.Load(path))
        return false;

    sdk_ = std::make_unique<CPUIDSDK>();
    sdk_->FillEntries(reinterpret_cast<SdkQueryInterfaceFn>(library_.Symbol(SDK_ENTRY_POINT_NAME)));
    sdk_->SdkCreate();
    sdk_->SdkStart(folder, fileName);
    sdk_->SdkPostInit();
    sdk_->SdkUpdate();
    return true;
}

void SensorHub::CollectInventory() {
    boardName.clear();
    cpuName.clear();
    ramText.clear();
    gpuName.clear();
    networkName.clear();
    osVersion.clear();
    drives.clear();
    soundCards.clear();

    RunStep([this] { CollectDevices(); });
    RunStep([this] { CollectMemory(); });
    RunStep([this] {
        networkName =
            CutToBytes(platform::NetworkAdapterDescription().c_str(), kTextBufferBytes - 1);
    });
    RunStep([this] {
        platform::OsVersionFacts facts = platform::ReadOsVersionFacts();
        osVersion = FormatOsVersion(CutToCharacters(facts.productName, kSystemTextCharacters),
                                    CutToCharacters(facts.displayVersion, kSystemTextCharacters),
                                    CutToCharacters(facts.currentBuild, kSystemTextCharacters));
    });
    RunStep([this] { soundCards = platform::SoundCardNames(); });
}

void SensorHub::CollectDevices() {
    const CPUIDSDK& sdk = Sdk();
    deviceCount = sdk.SdkDeviceTotal();
    for (std::int32_t i = 0; i < deviceCount; ++i) {
        std::string name;
        std::optional<std::int32_t> sensors = sdk.SdkSensorTotal(i, SDK_SENSOR_ANY);
        if (!sensors || *sensors <= 0)
            continue;  // a device without sensors is not listed
        std::int32_t kind = sdk.SdkDeviceKind(i).value_or(-1);
        if (auto label = sdk.SdkDeviceLabel(i))
            name = std::move(*label);
        switch (kind) {
            case SDK_DEVICE_PROCESSOR:
                cpuName = name;
                break;
            case SDK_DEVICE_GRAPHICS:
                gpuName = name;
                break;
            case SDK_DEVICE_MAINBOARD:
                boardName = name;
                break;
            case SDK_DEVICE_DRIVE:
                drives.push_back(name);
                break;
            default:
                break;
        }
    }
}

void SensorHub::CollectMemory() {
    const CPUIDSDK& sdk = Sdk();
    std::int32_t megabytes = sdk.SdkMemMegabytes();
    std::int32_t kind = sdk.SdkMemKind();
    ramText = FormatMemoryLine(sdk.SdkMemText(0), megabytes, kind);
}

void SensorHub::RefreshReadings(std::int32_t kind) {
    const CPUIDSDK& sdk = Sdk();
    sdk.SdkUpdate();
    for (std::int32_t i = 0; i < deviceCount; ++i) {
        std::optional<std::int32_t> total = sdk.SdkSensorTotal(i, kind);
        if (!total || *total <= 0)
            continue;
        std::optional<float> value = sdk.SdkSensorRead(i, 0, kind);
        std::optional<std::int32_t> deviceKind = sdk.SdkDeviceKind(i);
        if (!deviceKind)
            continue;
        // A failed read keeps the field's previous value.
        if (!value)
            continue;

        float* field = nullptr;
        SensorReadings& r = readings;
        if (*deviceKind == SDK_DEVICE_PROCESSOR) {
            switch (kind) {
                case SDK_SENSOR_TEMPERATURE:
                    field = &r.cpuTempC;
                    break;
                case SDK_SENSOR_CLOCK:
                    field = &r.cpuClockMhz;
                    break;
                case SDK_SENSOR_POWER:
                    field = &r.cpuPowerW;
                    break;
                case SDK_SENSOR_LOAD:
                    field = &r.cpuLoadPct;
                    break;
                default:
                    break;
            }
        } else if (*deviceKind == SDK_DEVICE_MAINBOARD) {
            // The processor's fan is the mainboard's first fan, never the processor device's.
            if (kind == SDK_SENSOR_FAN)
                field = &r.cpuFanRpm;
        } else if (*deviceKind == SDK_DEVICE_GRAPHICS) {
            switch (kind) {
                case SDK_SENSOR_TEMPERATURE:
                    field = &r.gpuTempC;
                    break;
                case SDK_SENSOR_CLOCK:
                    field = &r.gpuClockMhz;
                    break;
                case SDK_SENSOR_FAN:
                    field = &r.gpuFanRpm;
                    break;
                case SDK_SENSOR_POWER:
                    field = &r.gpuPowerW;
                    break;
                case SDK_SENSOR_LOAD:
                    field = &r.gpuLoadPct;
                    break;
                default:
                    break;
            }
        }
        if (!field)
            continue;
        *field = *value;
        // A processor temperature of exactly 0.0 means no reading: the second source stands in
        // (-1.0 when that is missing too). NaN compares unequal and is kept as read.
        if (field == &r.cpuTempC && *value == 0.0f)
            r.cpuTempC = sdk.SdkCpuTemp(0);
    }
}

// ---- Formatting -------------------------------------------------------------------------------

std::string FormatMemoryLine(const std::string& text, std::int32_t megabytes, std::int32_t kind) {
    std::string line = text;
    char part[32];
    if (megabytes != -1) {
        if (megabytes > 1024 && megabytes % 1024 == 0) {
            std::snprintf(part, sizeof part, " %d GB", static_cast<int>(megabytes / 1024));
        } else {
            std::snprintf(part, sizeof part, " %d MB", static_cast<int>(megabytes));
        }
        line += part;
    }
    if (kind == SDK_MEM_DDR3) {
        line += " DDR3";
    } else if (kind == SDK_MEM_DDR4 || kind == SDK_MEM_DDR4_ALT) {
        line += " DDR4";
    }
    return line;
}

std::int64_t LeadingNumber(const std::string& text) {
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        if (value > (std::numeric_limits<std::int64_t>::max() - 9) / 10) {
            return std::numeric_limits<std::int64_t>::max();
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string FormatOsVersion(const std::string& productName, const std::string& displayVersion,
                            const std::string& currentBuild) {
    std::string line = productName + "\t" + displayVersion;
    if (LeadingNumber(currentBuild) >= 22000) {
        for (std::size_t at = line.find("10"); at != std::string::npos;
             at = line.find("10", at + 2))
            line[at + 1] = '1';
    }
    return line;
}

}  // namespace tqv
