// The hub through the real dlopen binding: a scripted library copied in as cpuidsdk.so plays the
// scenario each test writes; broken libraries check the fall-backs.
#include "sensors/sensor_hub.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/sensors/sensor_test_support.h"

namespace tqv {
namespace {

using test::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HubTest : public ::testing::Test {
  protected:
    HubTest()
        : sys_("TQV_SYSFS_ROOT", tmp_ / "sys"),
          proc_("TQV_PROCFS_ROOT", tmp_ / "proc"),
          etc_("TQV_ETC_ROOT", tmp_ / "etc"),
          pci_("TQV_PCI_IDS", tmp_ / "pci.ids"),
          scenario_("TQV_SCRIPTED_SDK_SCENARIO", tmp_ / "scenario.txt") {
        std::filesystem::create_directories(tmp_ / "lib");
    }

    // Installs `library` as the sensor library in the test's folder.
    void Install(const char* library) {
        std::filesystem::copy_file(library, tmp_.path() / "lib" / kSdkFileName,
                                   std::filesystem::copy_options::overwrite_existing);
    }

    void Scenario(const std::string& text) {
        test::ReplaceFile(tmp_ / "scenario.txt", text + "\nlog " + LogPath() + "\n");
    }

    std::string Folder() const { return tmp_ / "lib/"; }
    std::string LogPath() const { return tmp_ / "log.txt"; }
    std::vector<std::string> Log() const { return test::ReadLines(LogPath()); }
    void ClearLog() { std::filesystem::remove(LogPath()); }

    // Binds the scripted library with `scenario`, collects the inventory and refreshes every
    // kind once.
    void BindAndRefresh(SensorHub& hub, const std::string& scenario) {
        Install(TQV_SCRIPTED_SDK);
        Scenario(scenario);
        ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
        hub.CollectInventory();
        for (std::int32_t kind : {SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN,
                                  SDK_SENSOR_POWER, SDK_SENSOR_TEMPERATURE}) {
            hub.RefreshReadings(kind);
        }
    }

    test::TempDir tmp_;
    ScopedEnv sys_, proc_, etc_, pci_, scenario_;
};

std::vector<float> Fields(const SensorReadings& r) {
    return {r.cpuTempC, r.cpuClockMhz, r.cpuFanRpm, r.cpuPowerW, r.cpuLoadPct,
            r.gpuTempC, r.gpuClockMhz, r.gpuFanRpm, r.gpuPowerW, r.gpuLoadPct};
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---- Binding ----------------------------------------------------------------------------------

TEST_F(HubTest, BindStartsTheInstanceAndReleaseStopsDestroysAndUnloadsInThatOrder) {
    {
        SensorHub hub;
        Install(TQV_SCRIPTED_SDK);
        Scenario("handle 42");
        ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
        EXPECT_TRUE(hub.IsBound());
        EXPECT_THAT(Log(), ElementsAre("create", "start 42 " + Folder() + " cpuidsdk.so 2147483647",
                                       "postinit 42", "update 42"));
        ClearLog();
    }
    EXPECT_THAT(Log(), ElementsAre("stop 42", "destroy 42", "unload"));
}

TEST_F(HubTest, SecondBindReleasesTheFirstBinding) {
    SensorHub hub;
    Install(TQV_SCRIPTED_SDK);
    Scenario("handle 5");
    ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
    ClearLog();
    ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(log.begin(), log.begin() + 4),
                ElementsAre("stop 5", "destroy 5", "unload", "create"));
}

TEST_F(HubTest, EmptyFileNameDoesNothing) {
    SensorHub hub;
    Install(TQV_SCRIPTED_SDK);
    Scenario("");
    EXPECT_FALSE(hub.BindSdk(Folder(), ""));
    EXPECT_FALSE(hub.IsBound());
    EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(HubTest, BareFileNameIsNeverSearchedForOnTheLibraryPath) {
    SensorHub hub;
    EXPECT_FALSE(hub.BindSdk("", "libc.so.6"));
    EXPECT_FALSE(hub.IsBound());
}

// Every operation is safe with an unusable library: the readings stay 0.0 and the library's part
// of the inventory stays empty.
struct UnusableCase {
    const char* name;
    const char* library;  // copied in as the sensor library; null: no file; "": garbage bytes
    bool loads;
};

class UnusableLibraryTest : public HubTest, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableLibraryTest, EveryOperationIsSafeAndChangesNothing) {
    const UnusableCase& c = GetParam();
    if (c.library && c.library[0]) {
        Install(c.library);
    } else if (c.library) {
        test::WriteFile(tmp_.path() / "lib" / kSdkFileName,
                        "\x7f"
                        "ELF but not really");
    }
    {
        SensorHub hub;
        EXPECT_EQ(hub.BindSdk(Folder(), kSdkFileName), c.loads);
        hub.CollectInventory();
        for (int pass = 0; pass < 2; ++pass) {
            for (std::int32_t kind : std::initializer_list<std::int32_t>{
                     SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN, SDK_SENSOR_POWER,
                     SDK_SENSOR_TEMPERATURE, 0x1234}) {
                hub.RefreshReadings(kind);
            }
        }
        EXPECT_EQ(hub.deviceCount, -1);
        for (float value : Fields(hub.readings))
            EXPECT_TRUE(SameBits(value, 0.0f));
        EXPECT_EQ(hub.cpuName, "");
        EXPECT_EQ(hub.boardName, "");
        EXPECT_EQ(hub.gpuName, "");
        EXPECT_EQ(hub.ramText, "");
        EXPECT_THAT(hub.drives, IsEmpty());
        // The system's own steps do not depend on the library (and the fixture roots are empty).
        EXPECT_EQ(hub.networkName, "");
        EXPECT_EQ(hub.osVersion, "\t");
        EXPECT_THAT(hub.soundCards, IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, UnusableLibraryTest,
    ::testing::Values(UnusableCase{"Missing", nullptr, false},
                      UnusableCase{"NotALibrary", "", false},
                      UnusableCase{"WithoutEntryPoint", TQV_SDK_NO_ENTRY, true},
                      UnusableCase{"AllOperationsNull", TQV_SDK_NULL_OPERATIONS, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, UnboundHubIsSafeWithoutEverBinding) {
    SensorHub hub;
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    hub.CollectInventory();
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FALSE(hub.IsBound());
    EXPECT_TRUE(SameBits(hub.readings.cpuTempC, 0.0f));
}

// ---- Readings ---------------------------------------------------------------------------------

constexpr const char* kProcessor =
    "device 4 Processor\n"
    "sensor 0x2000 45\n"
    "sensor 0xF000 3600\n"
    "sensor 0x3000 1500\n"  // the processor's own fan never feeds a field
    "sensor 0x5000 65\n"
    "sensor 0xE000 12.5\n";
constexpr const char* kBoardWithFan =
    "device 1024 Board\n"
    "sensor 0x2000 30\n"
    "sensor 0x3000 900\n";
constexpr const char* kGraphics =
    "device 32 Graphics\n"
    "sensor 0x2000 50\n"
    "sensor 0xF000 1800\n"
    "sensor 0x3000 1200\n"
    "sensor 0x5000 200\n"
    "sensor 0xE000 99\n";

struct ReadingsCase {
    const char* name;
    std::string scenario;
    //   cpu: temp clock fan power load  gpu: temp clock fan power load
    std::vector<float> expected;
};

class ReadingsTest : public HubTest, public ::testing::WithParamInterface<ReadingsCase> {};

TEST_P(ReadingsTest, FieldsComeFromTheirDeviceAndSensorKinds) {
    SensorHub hub;
    BindAndRefresh(hub, GetParam().scenario);
    std::vector<float> actual = Fields(hub.readings);
    ASSERT_EQ(actual.size(), GetParam().expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_FLOAT_EQ(actual[i], GetParam().expected[i]) << "field " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ReadingsTest,
    ::testing::Values(
        ReadingsCase{"FullMachine",
                     std::string(kProcessor) + kBoardWithFan + kGraphics +
                         "device 16 Drive\nsensor 0x2000 38\n",
                     {45, 3600, 900, 65, 12.5, 50, 1800, 1200, 200, 99}},
        ReadingsCase{"NoGraphicsCard",
                     std::string(kProcessor) + kBoardWithFan,
                     {45, 3600, 900, 65, 12.5, 0, 0, 0, 0, 0}},
        ReadingsCase{"ZeroProcessorTemperatureTakesTheSecondSource",
                     "cputemp 51.5\ndevice 4 P\nsensor 0x2000 0\n",
                     {51.5, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"ZeroProcessorTemperatureWithoutSecondSource",
                     "missing CpuTemp\ndevice 4 P\nsensor 0x2000 0\n",
                     {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"ZeroGraphicsTemperatureIsKept",
                     "cputemp 51.5\ndevice 32 G\nsensor 0x2000 0\n",
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"MainboardWithoutFansWhileProcessorHasOne",
                     std::string(kProcessor) + "device 1024 Board\nsensor 0x2000 30\n",
                     {45, 3600, 0, 65, 12.5, 0, 0, 0, 0, 0}},
        ReadingsCase{"TwoGraphicsCardsFanOnlyOnTheFirst",
                     "device 32 A\nsensor 0x2000 50\nsensor 0xF000 1000\nsensor 0x3000 1200\n"
                     "sensor 0x5000 100\nsensor 0xE000 10\n"
                     "device 32 B\nsensor 0x2000 60\nsensor 0xF000 2000\n"
                     "sensor 0x5000 200\nsensor 0xE000 20\n",
                     {0, 0, 0, 0, 0, 60, 2000, 1200, 200, 20}},
        ReadingsCase{"HighestDeviceIndexWins",
                     "device 4 A\nsensor 0x2000 40\ndevice 4 B\nsensor 0x2000 70\n"
                     "device 1024 M\nsensor 0x3000 800\ndevice 1024 N\nsensor 0x3000 850\n",
                     {70, 0, 850, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"FirstSensorOfTheKindIsRead",
                     "device 4 P\nsensor 0x2000 40\nsensor 0x2000 80\n",
                     {40, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"FailedReadStoresNothing",
                     "cputemp 51.5\ndevice 4 P\nsensor 0x2000 45 invalid\nsensor 0xF000 3600\n",
                     {0, 3600, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"MissingSensorRead",
                     std::string("missing SensorRead\n") + kProcessor,
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"MissingDeviceKind",
                     std::string("missing DeviceKind\n") + kProcessor,
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"MissingSensorTotal",
                     std::string("missing SensorTotal\n") + kProcessor,
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"MissingDeviceTotal",
                     std::string("missing DeviceTotal\n") + kProcessor + kGraphics,
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"NegativeDeviceTotal",
                     std::string("devicetotal -3\n") + kProcessor,
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        ReadingsCase{"DeviceTotalBeyondTheDevices",
                     std::string("devicetotal 9\n") + kProcessor,
                     {45, 3600, 0, 65, 12.5, 0, 0, 0, 0, 0}},
        ReadingsCase{"OtherDeviceKindsFeedNothing",
                     "device 16 Drive\nsensor 0x2000 38\ndevice 8 Other\nsensor 0x3000 700\n",
                     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, ProcessorTemperatureThatIsNotANumberIsKeptAsRead) {
    SensorHub hub;
    BindAndRefresh(hub, "cputemp 51.5\ndevice 4 P\nsensor 0x2000 nan\n");
    EXPECT_TRUE(std::isnan(hub.readings.cpuTempC));
}

TEST_F(HubTest, MissingDeviceTotalVisitsNoDevice) {
    SensorHub hub;
    BindAndRefresh(hub, std::string("missing DeviceTotal\n") + kProcessor);
    EXPECT_EQ(hub.deviceCount, -1);
    for (const std::string& line : Log()) {
        EXPECT_EQ(line.rfind("sensor", 0), std::string::npos) << line;
        EXPECT_EQ(line.rfind("devicekind", 0), std::string::npos) << line;
    }
}

TEST_F(HubTest, BeforeTheInventoryARefreshUpdatesButVisitsNoDevice) {
    SensorHub hub;
    Install(TQV_SCRIPTED_SDK);
    Scenario(kProcessor);
    ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
    ClearLog();
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_EQ(hub.deviceCount, 0);
    EXPECT_THAT(Log(), ElementsAre("update 7"));
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 0.0f);
}

TEST_F(HubTest, ARefreshUpdatesOnceAndTouchesOnlyItsKind) {
    SensorHub hub;
    Install(TQV_SCRIPTED_SDK);
    Scenario(std::string(kProcessor) + "sensor 0x4000 5\n" + kGraphics);
    ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
    hub.CollectInventory();
    ClearLog();

    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 45.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 50.0f);
    EXPECT_FLOAT_EQ(hub.readings.cpuClockMhz, 0.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuLoadPct, 0.0f);

    SensorReadings before = hub.readings;
    hub.RefreshReadings(0x4000);  // not one of the five kinds
    std::vector<float> after = Fields(hub.readings), expected = Fields(before);
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_TRUE(SameBits(after[i], expected[i]));

    std::vector<std::string> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "update 7"), 2);
}

TEST_F(HubTest, ReadingsFollowTheLibraryAndKeepTheirLastValue) {
    SensorHub hub;
    Install(TQV_SCRIPTED_SDK);
    // Each update adds the step: the bind's update is the first.
    Scenario("device 4 P\nsensor 0x2000 40 1\ndevice 32 G\nsensor 0x3000 1000 10\n");
    ASSERT_TRUE(hub.BindSdk(Folder(), kSdkFileName));
    hub.CollectInventory();
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 42.0f);
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 43.0f);
    hub.RefreshReadings(SDK_SENSOR_FAN);
    EXPECT_FLOAT_EQ(hub.readings.gpuFanRpm, 1040.0f);

    // A read that fails keeps the previous value.
    Scenario("device 4 P\nsensor 0x2000 40 1 invalid\ndevice 32 G\nsensor 0x3000 1000 10\n");
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 43.0f);

    // A sensor that disappears leaves its last value; the remaining ones go on.
    Scenario("device 4 P\ndevice 32 G\nsensor 0x3000 1000 10\n");
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    hub.RefreshReadings(SDK_SENSOR_FAN);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 43.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuFanRpm, 1070.0f);

    // A later zero reading is replaced by the second source, read afresh.
    Scenario("cputemp 60 0.5\ndevice 4 P\nsensor 0x2000 0\n");
    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 60.0f + 0.5f * 8);
}

// ---- Inventory: devices and memory -----------------------------------------------------------

struct DevicesCase {
    const char* name;
    std::string scenario;
    std::string cpu, board, gpu;
    std::vector<std::string> drives;
    std::int32_t deviceCount;
};

class DevicesTest : public HubTest, public ::testing::WithParamInterface<DevicesCase> {};

TEST_P(DevicesTest, NamesComeFromDevicesWithSensors) {
    const DevicesCase& c = GetParam();
    SensorHub hub;
    BindAndRefresh(hub, c.scenario);
    EXPECT_EQ(hub.cpuName, c.cpu);
    EXPECT_EQ(hub.boardName, c.board);
    EXPECT_EQ(hub.gpuName, c.gpu);
    EXPECT_EQ(hub.drives, c.drives);
    EXPECT_EQ(hub.deviceCount, c.deviceCount);
}

const std::string kLongName(600, 'n');

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DevicesTest,
    ::testing::Values(
        DevicesCase{"OneOfEach",
                    "device 4 Processor X\nsensor 0x2000 1\ndevice 1024 Board Y\nsensor 0x3000 1\n"
                    "device 32 Graphics Z\nsensor 0xE000 1\ndevice 16 Disk W\nsensor 0x2000 1\n",
                    "Processor X",
                    "Board Y",
                    "Graphics Z",
                    {"Disk W"},
                    4},
        DevicesCase{"DevicesWithoutSensorsAreSkipped",
                    "device 16 Unlisted Disk\ndevice 16 Listed Disk\nsensor 0x2000 30\n"
                    "device 4 Bare Processor\ndevice 32 Bare Graphics\n",
                    "",
                    "",
                    "",
                    {"Listed Disk"},
                    4},
        DevicesCase{"HighestIndexWinsAndDrivesKeepDeviceOrder",
                    "device 32 First GPU\nsensor 0x2000 1\ndevice 16 D1\nsensor 0x2000 1\n"
                    "device 32 Second GPU\nsensor 0x2000 1\ndevice 16 D2\nsensor 0x2000 1\n"
                    "device 16 D3\nsensor 0x2000 1\n",
                    "",
                    "",
                    "Second GPU",
                    {"D1", "D2", "D3"},
                    5},
        DevicesCase{"DeviceWithoutNameTextGivesAnEmptyName",
                    "device 4 Named\nsensor 0x2000 1\ndevice 4\nsensor 0x2000 1\n"
                    "device 16\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {""},
                    3},
        DevicesCase{"MissingDeviceLabel",
                    "missing DeviceLabel\ndevice 4 P\nsensor 0x2000 1\n"
                    "device 16 D\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {""},
                    2},
        DevicesCase{"MissingDeviceKind",
                    "missing DeviceKind\ndevice 4 P\nsensor 0x2000 1\n"
                    "device 16 D\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {},
                    2},
        DevicesCase{"MissingSensorTotal",
                    "missing SensorTotal\ndevice 4 P\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {},
                    1},
        DevicesCase{"MissingDeviceTotal",
                    "missing DeviceTotal\ndevice 4 P\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {},
                    -1},
        DevicesCase{"OtherKindsAreIgnored",
                    "device 8 Something\nsensor 0x2000 1\ndevice 0 Nothing\nsensor 0x2000 1\n",
                    "",
                    "",
                    "",
                    {},
                    2},
        DevicesCase{"LongNameIsCutTo511Bytes",
                    "device 4 " + kLongName + "\nsensor 0x2000 1\n",
                    kLongName.substr(0, 511),
                    "",
                    "",
                    {},
                    1},
        DevicesCase{"CutNeverSplitsACharacter",
                    "device 4 " + std::string(510, 'n') + "\xC3\xA9\nsensor 0x2000 1\n",
                    std::string(510, 'n'),
                    "",
                    "",
                    {},
                    1},
        DevicesCase{"UnicodeNamesPassThrough",
                    "device 4 Prozessor \xC2\xAE \xE2\x84\xA2\nsensor 0x2000 1\n",
                    "Prozessor \xC2\xAE \xE2\x84\xA2",
                    "",
                    "",
                    {},
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

struct MemoryCase {
    const char* name;
    std::string scenario;
    std::string expected;
};

class MemoryTest : public HubTest, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(MemoryTest, MemoryLine) {
    SensorHub hub;
    BindAndRefresh(hub, GetParam().scenario);
    EXPECT_EQ(hub.ramText, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, MemoryTest,
    ::testing::Values(
        MemoryCase{"Exactly1024TakesTheMegabyteForm", "memmb 1024\nmemkind 10\n", " 1024 MB DDR4"},
        MemoryCase{"WholeGigabytes", "memmb 8192\nmemkind 9\n", " 8 GB DDR3"},
        MemoryCase{"TwelveGigabytesWithText", "memtext Kingston\nmemmb 12288\nmemkind 11\n",
                   "Kingston 12 GB DDR4"},
        MemoryCase{"NotAWholeMultiple", "memmb 16000\nmemkind 12\n", " 16000 MB"},
        MemoryCase{"SixteenGigabytesNoText", "memmb 16384\nmemkind 10\n", " 16 GB DDR4"},
        MemoryCase{"OtherTypeCodesAddNothing", "memmb 2048\nmemkind 26\n", " 2 GB"},
        MemoryCase{"UnknownSizeAndType", "memtext Samsung\nmemmb -1\nmemkind -1\n", "Samsung"},
        MemoryCase{"AllMemoryOperationsMissing",
                   "missing MemText MemMegabytes MemKind\nmemtext X\nmemmb 8192\nmemkind 10\n", ""},
        MemoryCase{"LongTextIsCutTo511Bytes", "memtext " + kLongName + "\nmemmb 4096\n",
                   kLongName.substr(0, 511) + " 4 GB"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Inventory: the system's own steps --------------------------------------------------------

TEST_F(HubTest, SystemStepsFillTheirMembersAlsoWithoutTheLibrary) {
    const auto& root = tmp_.path();
    test::WriteFile(tmp_ / "pci.ids", "8086  Intel Corporation\n\t15b8  Ethernet I219-V\n");
    test::WriteFile(root / "sys/devices/pci0000:00/0000:00:1f.6/vendor", "0x8086\n");
    test::WriteFile(root / "sys/devices/pci0000:00/0000:00:1f.6/device", "0x15b8\n");
    test::Link(root / "sys/devices/pci0000:00/0000:00:1f.6/subsystem", "../../../bus/pci");
    test::WriteFile(root / "sys/devices/pci0000:00/0000:00:1f.6/net/eno1/ifindex", "2\n");
    test::Link(root / "sys/devices/pci0000:00/0000:00:1f.6/net/eno1/device",
               "../../../0000:00:1f.6");
    test::Link(root / "sys/class/net/eno1", "../../devices/pci0000:00/0000:00:1f.6/net/eno1");
    test::WriteFile(root / "etc/os-release", "NAME=\"Windows 10 Lookalike\"\nVERSION_ID=10\n");
    test::WriteFile(root / "proc/sys/kernel/osrelease", "6.1.0-13-amd64\n");
    test::WriteFile(root / "proc/asound/cards",
                    " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n"
                    "                      HDA Intel PCH at 0xf7f10000 irq 32\n"
                    " 1 [NVidia         ]: HDA-Intel - HDA NVidia\n"
                    "                      HDA NVidia at 0xf7080000 irq 17\n");

    SensorHub hub;  // never bound
    hub.CollectInventory();
    EXPECT_EQ(hub.networkName, "Ethernet I219-V");
    EXPECT_EQ(hub.osVersion, "Windows 10 Lookalike\t10");  // a kernel release is far below 22000
    EXPECT_THAT(hub.soundCards, ElementsAre("HDA Intel PCH at 0xf7f10000 irq 32",
                                            "HDA NVidia at 0xf7080000 irq 17"));
    EXPECT_EQ(hub.cpuName, "");
    EXPECT_EQ(hub.ramText, "");
}

TEST_F(HubTest, CollectingAgainGivesTheSameInventory) {
    SensorHub hub;
    BindAndRefresh(hub, "device 16 D\nsensor 0x2000 1\n");
    hub.CollectInventory();
    EXPECT_THAT(hub.drives, ElementsAre("D"));
}

// ---- The system version line ------------------------------------------------------------------

struct OsVersionCase {
    const char* product;
    const char* version;
    const char* build;
    const char* expected;
};

class OsVersionTest : public ::testing::TestWithParam<OsVersionCase> {};

TEST_P(OsVersionTest, BuildNumberRule) {
    const OsVersionCase& c = GetParam();
    EXPECT_EQ(FormatOsVersion(c.product, c.version, c.build), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OsVersionTest,
    ::testing::Values(OsVersionCase{"Windows 10 Pro", "21H2", "21999", "Windows 10 Pro\t21H2"},
                      OsVersionCase{"Windows 10 Pro", "21H2", "22000", "Windows 11 Pro\t21H2"},
                      OsVersionCase{"Windows 10 Pro", "23H2", "22631", "Windows 11 Pro\t23H2"},
                      OsVersionCase{"Edition 10 v10", "10", "22000.1", "Edition 11 v11\t11"},
                      OsVersionCase{"Build 1010 100", "", "30000", "Build 1111 110\t"},
                      OsVersionCase{"Windows 10 Pro", "", "x22000", "Windows 10 Pro\t"},
                      OsVersionCase{"Windows 10 Pro", "", "", "Windows 10 Pro\t"},
                      OsVersionCase{"Windows 10", "", "99999999999999999999999999", "Windows 11\t"},
                      OsVersionCase{"Debian GNU/Linux", "10", "6.1.0-13-amd64",
                                    "Debian GNU/Linux\t10"},
                      OsVersionCase{"", "", "", "\t"}));

}  // namespace
}  // namespace tqv
