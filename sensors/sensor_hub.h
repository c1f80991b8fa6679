// The one owner of the sensor library binding, the live readings and the hardware inventory.
//
// The sensor library is a shared object loaded at run time from the executable's folder. It
// exports one entry point, QueryInterface, that hands out its operations by 32-bit id
// (sdk/sdk_interface.h). Every operation may be missing; each has a fixed fall-back, so the hub
// is safe to use when the library is absent, fails to load or lacks the entry point: the readings
// then stay 0.0 and the library's part of the inventory stays empty.
//
// BindSdk and CollectInventory run once on the user-interface thread during start-up; from then
// on RefreshReadings runs only on the monitor worker thread, which is also the only reader of
// `readings`. No lock is taken.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "sdk/sdk_interface.h"

namespace tqv {

// The library's fixed file name, loaded from the executable's folder.
inline constexpr const char* kSdkFileName = "cpuidsdk.so";

// The ten live values, stored exactly as the library returns them: degrees Celsius, MHz, RPM,
// W and percent.
struct SensorReadings {
    float cpuTempC = 0.0f;
    float cpuClockMhz = 0.0f;
    float cpuFanRpm = 0.0f;
    float cpuPowerW = 0.0f;
    float cpuLoadPct = 0.0f;
    float gpuTempC = 0.0f;
    float gpuClockMhz = 0.0f;
    float gpuFanRpm = 0.0f;
    float gpuPowerW = 0.0f;
    float gpuLoadPct = 0.0f;
};

// The library instance and its operation table. Each entry is looked up once through
// QueryInterface by the id of its position; an entry stays null when the library does not offer
// it. The call helpers give each missing operation's fall-back. Texts the library returns are
// released here; the helpers hand back copies.
struct CPUIDSDK {
    SdkHandle handle = 0;  // the instance, 0 until created
    std::array<void*, SDK_ENTRY_COUNT> entries{};

    // The id asked for at each entry position (0 where the program never calls the entry, which
    // then stays null).
    static const std::array<std::uint32_t, SDK_ENTRY_COUNT>& EntryIds();

    // Fills every entry that has an id through `query`.
    void FillEntries(SdkQueryInterfaceFn query);

    bool Has(int entry) const { return entries[static_cast<std::size_t>(entry)] != nullptr; }

    SdkHandle SdkCreate();    // 0 when missing
    void SdkDestroy() const;  // nothing when missing
    void SdkStart(const std::string& folder, const std::string& fileName) const;
    void SdkStop() const;
    void SdkUpdate() const;
    void SdkPostInit() const;
    float SdkCpuTemp(std::int32_t index) const;  // -1.0 when missing
    std::int32_t SdkMemKind() const;             // -1 when missing
    std::int32_t SdkMemMegabytes() const;        // -1 when missing
    // The memory text, at most 511 bytes; empty when missing or when the library gives none.
    std::string SdkMemText(std::int32_t index) const;
    std::int32_t SdkDeviceTotal() const;                                   // -1 when missing
    std::optional<std::int32_t> SdkDeviceKind(std::int32_t device) const;  // none when missing
    // The device's name, at most 511 bytes; none when missing or when the library gives none.
    std::optional<std::string> SdkDeviceLabel(std::int32_t device) const;
    std::optional<std::int32_t> SdkSensorTotal(std::int32_t device, std::int32_t kind) const;
    // Sensor `index` of `kind` on `device`: its value when the read succeeded; none when the
    // operation is missing or reports failure. The sensor's name text is released at once.
    std::optional<float> SdkSensorRead(std::int32_t device, std::int32_t index,
                                       std::int32_t kind) const;
};

class SensorHub {
  public:
    SensorHub();
    ~SensorHub();
    SensorHub(const SensorHub&) = delete;
    SensorHub& operator=(const SensorHub&) = delete;

    // Loads folder + fileName, fills the operation table, creates and starts the instance (with
    // the folder and file name and 0x7FFFFFFF), then runs its post-initialisation and one update.
    // An empty file name does nothing. True when the library was loaded; a library without
    // QueryInterface still counts as loaded, with every operation missing. A second call
    // releases the first binding before it binds again.
    bool BindSdk(const std::string& folder, const std::string& fileName);
    bool IsBound() const { return sdk_ != nullptr; }

    // Gathers the inventory once: the library's devices (which also sets deviceCount) and
    // memory, then the network card, the system version and the sound cards from the system.
    // Each step fails alone and silently, leaving its members empty.
    void CollectInventory();

    // Brings the two fields of one sensor kind (0x2000, 0x3000, 0x5000, 0xE000 or 0xF000) up to
    // date. Another kind updates no field.
    void RefreshReadings(std::int32_t kind);

    // Library devices, 0 until CollectInventory; -1 when the library cannot count them.
    std::int32_t deviceCount = 0;

    // The inventory, UTF-8, empty until collected.
    std::string boardName;
    std::string cpuName;
    std::string ramText;
    std::string gpuName;
    std::string networkName;
    std::string osVersion;
    std::vector<std::string> drives;
    std::vector<std::string> soundCards;

    SensorReadings readings;

  private:
    const CPUIDSDK& Sdk() const;
    void Release();

    void CollectDevices();
    void CollectMemory();

    platform::DynamicLibrary library_;
    std::unique_ptr<CPUIDSDK> sdk_;
};

// The memory line: the text, then " N GB" (size above 1024 and a whole multiple of 1024) or
// " N MB" (no size part for -1), then " DDR3" (9) or " DDR4" (10, 11).
std::string FormatMemoryLine(const std::string& text, std::int32_t megabytes, std::int32_t kind);

// The system version line: product, a tab, version; from build 22000 on every "10" in it reads
// "11".
std::string FormatOsVersion(const std::string& productName, const std::string& displayVersion,
                            const std::string& currentBuild);

// The leading decimal digits of `text` as a number (0 when there are none; saturates).
std::int64_t LeadingNumber(const std::string& text);

}  // namespace tqv
