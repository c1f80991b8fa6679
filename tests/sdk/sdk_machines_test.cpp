// Whole machines through the real binding: SensorHub loads cpuidsdk.so from the build's portable
// folder and reads fixture machines put in place of /sys, the way the monitor worker does (five
// refreshes per cycle, in its order).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "sdk/sdk_interface.h"
#include "sensors/sensor_hub.h"
#include "tests/sdk/fixture_machine.h"

// libsensors leaks one token string when it rejects a configuration file; that is its own
// fault and nothing the library can free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsensors.so\n";
}

namespace tqv::test {
namespace {

void RefreshCycle(SensorHub& hub) {
    for (std::int32_t kind : {SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN, SDK_SENSOR_POWER,
                              SDK_SENSOR_TEMPERATURE}) {
        hub.RefreshReadings(kind);
    }
}

void ExpectReadings(const SensorReadings& actual, const SensorReadings& expected) {
    EXPECT_FLOAT_EQ(actual.cpuTempC, expected.cpuTempC);
    EXPECT_FLOAT_EQ(actual.cpuClockMhz, expected.cpuClockMhz);
    EXPECT_FLOAT_EQ(actual.cpuFanRpm, expected.cpuFanRpm);
    EXPECT_FLOAT_EQ(actual.cpuPowerW, expected.cpuPowerW);
    EXPECT_FLOAT_EQ(actual.cpuLoadPct, expected.cpuLoadPct);
    EXPECT_FLOAT_EQ(actual.gpuTempC, expected.gpuTempC);
    EXPECT_FLOAT_EQ(actual.gpuClockMhz, expected.gpuClockMhz);
    EXPECT_FLOAT_EQ(actual.gpuFanRpm, expected.gpuFanRpm);
    EXPECT_FLOAT_EQ(actual.gpuPowerW, expected.gpuPowerW);
    EXPECT_FLOAT_EQ(actual.gpuLoadPct, expected.gpuLoadPct);
}

bool BindLibrary(SensorHub& hub) {
    return hub.BindSdk(TQV_PORTABLE_DIR "/", kSdkFileName);
}

const char* const kRaplZone = "sys/devices/virtual/powercap/intel-rapl/intel-rapl:0/";

// One second of work after start: 300 busy and 700 idle jiffies, 65 J in the package.
void OneSecondOfWork(FixtureMachine& machine, std::uint64_t energyAtStartUj) {
    machine.AdvanceClockUs(1000000);
    machine.WriteCpuStat(1370, 500, 8800);  // from busy 1570 of 9670 to 1870 of 10670
    if (energyAtStartUj > 0) {
        machine.Write(std::string(kRaplZone) + "energy_uj",
                      std::to_string(energyAtStartUj + 65000000));
    }
}

struct MachineCase {
    const char* fixture;
    std::uint64_t energyUj;  // the fixture's package counter at start
    SensorReadings readings;
    const char* cpuName;
    const char* boardName;
    const char* ramText;
    const char* gpuName;
    std::vector<std::string> drives;
};

void PrintTo(const MachineCase& c, std::ostream* out) {
    *out << c.fixture;
}

class FixtureMachinesTest : public ::testing::TestWithParam<MachineCase> {};

TEST_P(FixtureMachinesTest, TenReadingsAndInventory) {
    const MachineCase& c = GetParam();
    FixtureMachine machine(c.fixture);
    TQV_MOUNT_FIXTURE_OR_SKIP(machine);
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    EXPECT_EQ(hub.cpuName, c.cpuName);
    EXPECT_EQ(hub.boardName, c.boardName);
    EXPECT_EQ(hub.ramText, c.ramText);
    EXPECT_EQ(hub.gpuName, c.gpuName);
    EXPECT_EQ(hub.drives, c.drives);

    OneSecondOfWork(machine, c.energyUj);
    RefreshCycle(hub);
    ExpectReadings(hub.readings, c.readings);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, FixtureMachinesTest,
    ::testing::Values(
        // coretemp package, nct6798 fan2 labelled "CPU Fan" by sensors.conf (fan1 is first but
        // unlabelled), RAPL, NVIDIA through NVML, an NVMe drive with its hwmon chip.
        MachineCase{"intel-desktop",
                    1000000000,
                    {45.0f, 3600.0f, 1204.0f, 65.0f, 30.0f, 52.0f, 1710.0f, 1450.0f, 215.0f, 37.0f},
                    "12th Gen Intel(R) Core(TM) i7-12700K",
                    "ASUSTeK COMPUTER INC. PRIME Z690-P",
                    "Kingston 32 GB DDR4",
                    "GA102 [GeForce RTX 3080]",
                    {"Samsung SSD 980 PRO 1TB"}},
        // k10temp Tdie rather than Tctl; it8688 with fan1 ignored and fan2 doubled by a compute
        // line; amdgpu edge temperature, sclk, fan1, power1_average, gpu_busy_percent.
        MachineCase{"amd-desktop",
                    5000000000,
                    {61.5f, 3700.0f, 1400.0f, 65.0f, 30.0f, 55.0f, 2105.0f, 1100.0f, 187.0f, 23.0f},
                    "AMD Ryzen 7 2700X Eight-Core Processor",
                    "Gigabyte Technology Co., Ltd. X470 AORUS ULTRA GAMING-CF",
                    "G Skill Intl 16 GB DDR4",
                    "Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]",
                    {"Samsung SSD 860 EVO 500GB"}},
        // No board fans; the integrated GPU gives its clock, the sleeping NVIDIA dGPU nothing
        // (it still names the graphics card); LPDDR5 shows no DDR type.
        MachineCase{"laptop",
                    200000000,
                    {52.0f, 2100.0f, 0.0f, 65.0f, 30.0f, 0.0f, 700.0f, 0.0f, 0.0f, 0.0f},
                    "12th Gen Intel(R) Core(TM) i7-1260P",
                    "LENOVO 21AHCTO1WW",
                    "Samsung 16 GB",
                    "GA107M [GeForce RTX 3050 Mobile]",
                    {"SC32G", "WDC PC SN810 SDCPNRY-512G"}},
        // A VM like the build machine: no hwmon, no powercap, no DMI, no cpufreq.
        MachineCase{"bare-vm",
                    0,
                    {0.0f, 2096.005f, 0.0f, 0.0f, 30.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
                    "AMD EPYC",
                    "",
                    " 24 GB",
                    "",
                    {"Virtio 1.0 block device"}}),
    [](const auto& info) {
        std::string name = info.param.fixture;
        for (char& ch : name)
            ch = ch == '-' ? '_' : ch;
        return name;
    });

TEST(FixtureMachineTest, PackagePowerAcrossCounterWrapAndOverTheTimeBetweenSamples) {
    constexpr std::uint64_t kRange = 262143328850;
    struct Step {
        std::int64_t afterUs;
        std::uint64_t counter;
        float watts;
    } steps[] = {
        {1000000, kRange - 10000000, 40.0f},  // up 40 J from the start value in 1 s
        {1000000, 55000000, 65.0f},           // wrapped: 10 J to the top, 55 J after 0
        {2000000, 185000000, 65.0f},          // 130 J over two seconds
        {0, 999999999999, 65.0f},             // no time passed: the last value stands
        {500000, 217500000, 65.0f},           // 32.5 J in half a second
    };
    FixtureMachine machine("intel-desktop");
    machine.UseSysfsRoot();  // powercap is plain sysfs: no mount needed
    machine.Write(std::string(kRaplZone) + "energy_uj", std::to_string(kRange - 50000000));
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    for (const Step& step : steps) {
        if (step.afterUs == 0) {
            hub.RefreshReadings(SDK_SENSOR_POWER);
            EXPECT_FLOAT_EQ(hub.readings.cpuPowerW, step.watts);
            continue;
        }
        machine.AdvanceClockUs(step.afterUs);
        machine.Write(std::string(kRaplZone) + "energy_uj", std::to_string(step.counter));
        hub.RefreshReadings(SDK_SENSOR_POWER);
        EXPECT_FLOAT_EQ(hub.readings.cpuPowerW, step.watts) << step.counter;
    }
}

TEST(FixtureMachineTest, SleepingNvidiaCardIsNeverTouched) {
    FixtureMachine machine("laptop");
    machine.UseSysfsRoot();  // NVML and runtime power state need no hwmon
    const std::string status =
        "sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/power/runtime_status";
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    for (int cycle = 0; cycle < 3; ++cycle) {
        machine.AdvanceClockUs(1000000);
        RefreshCycle(hub);
    }
    // Not even loaded: loading and initialising NVML could wake the card.
    EXPECT_EQ(::dlopen(TQV_FAKE_NVML, RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 0.0f);

    // Awake, it is read.
    machine.Write(status, "active\n");
    machine.AdvanceClockUs(1000000);
    RefreshCycle(hub);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 44.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuClockMhz, 1200.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuPowerW, 9.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuLoadPct, 5.0f);
    void* nvml = ::dlopen(TQV_FAKE_NVML, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nvml, nullptr);
    auto calls = reinterpret_cast<int (*)(const char*)>(::dlsym(nvml, "FakeNvmlCardCalls"));
    ASSERT_NE(calls, nullptr);
    int callsWhileAwake = calls("0000:01:00.0");
    EXPECT_GT(callsWhileAwake, 0);

    // Asleep again: no call reaches the card and its values stay as last read.
    machine.Write(status, "suspended\n");
    for (int cycle = 0; cycle < 2; ++cycle) {
        machine.AdvanceClockUs(1000000);
        RefreshCycle(hub);
    }
    EXPECT_EQ(calls("0000:01:00.0"), callsWhileAwake);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 44.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuPowerW, 9.0f);
    ::dlclose(nvml);
}

// Opens and reads of a folder's files, as inotify reports them.
class FolderWatch {
  public:
    FolderWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FolderWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Add(const fs::path& folder) {
        return fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ACCESS) >= 0;
    }
    // Names of the files opened or read since the last call ("." for the folder itself).
    std::vector<std::string> Drain() {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0)
                break;
            ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                names.push_back(event->len ? event->name : ".");
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

  private:
    int fd_;
};

TEST(FixtureMachineTest, SleepingAmdCardIsNeverOpened) {
    FixtureMachine machine("amd-desktop");
    TQV_MOUNT_FIXTURE_OR_SKIP(machine);
    const std::string card = "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0";
    machine.Write(card + "/power/runtime_status", "suspended\n");
    FolderWatch watch;
    ASSERT_TRUE(watch.Add(machine.Path(card)));
    ASSERT_TRUE(watch.Add(machine.Path(card + "/hwmon/hwmon1")));

    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    // Finding the card reads its identity (class, vendor, device) and lists its folders; no
    // value file is opened.
    for (const std::string& name : watch.Drain()) {
        for (const char* value : {"_input", "_average", "gpu_busy_percent", "pp_dpm_sclk"}) {
            EXPECT_EQ(name.find(value), std::string::npos) << name << " opened while asleep";
        }
    }
    EXPECT_EQ(hub.gpuName, "Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]");

    for (int cycle = 0; cycle < 3; ++cycle) {
        OneSecondOfWork(machine, 5000000000 + 65000000ull * static_cast<unsigned>(cycle));
        RefreshCycle(hub);
    }
    EXPECT_EQ(watch.Drain(), std::vector<std::string>{}) << "the sleeping card was touched";
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 0.0f);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 61.5f);  // the rest of the machine is read

    // Once awake it is read, which the watch sees.
    machine.Write(card + "/power/runtime_status", "active\n");
    machine.AdvanceClockUs(1000000);
    RefreshCycle(hub);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 55.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuLoadPct, 23.0f);
    EXPECT_FALSE(watch.Drain().empty());
}

TEST(FixtureMachineTest, VanishedChipKeepsItsLastValues) {
    FixtureMachine machine("intel-desktop");
    TQV_MOUNT_FIXTURE_OR_SKIP(machine);
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    RefreshCycle(hub);
    EXPECT_FLOAT_EQ(hub.readings.cpuFanRpm, 1204.0f);

    const std::string board = "sys/devices/platform/nct6775.656/hwmon/hwmon3/";
    const std::string cpu = "sys/devices/platform/coretemp.0/hwmon/hwmon1/";
    machine.Write(board + "fan2_input", "1500\n");
    machine.Write(cpu + "temp1_input", "47000\n");
    machine.AdvanceClockUs(1000000);
    RefreshCycle(hub);
    EXPECT_FLOAT_EQ(hub.readings.cpuFanRpm, 1500.0f);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 47.0f);

    // The drivers are unloaded: reads of their open attribute files fail (sysfs answers
    // ENODEV; here they read empty) and their hwmon folders go away.
    for (const std::string& folder : {board, cpu}) {
        for (const auto& entry : fs::directory_iterator(machine.Path(folder))) {
            if (entry.is_regular_file())
                machine.Write(fs::relative(entry.path(), machine.Root()), "");
        }
        fs::remove_all(machine.Path(folder));
    }
    for (int cycle = 0; cycle < 2; ++cycle) {
        machine.AdvanceClockUs(1000000);
        RefreshCycle(hub);
    }
    EXPECT_FLOAT_EQ(hub.readings.cpuFanRpm, 1500.0f);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 47.0f);
    EXPECT_FLOAT_EQ(hub.readings.gpuTempC, 52.0f);  // the rest goes on
}

// A chip statement spelled so that only libsensors sees it match (its address without the
// leading zero): the library must still give libsensors' converted value, not the raw one.
TEST(FixtureMachineTest, ComputeLineTheLibraryMisreadsStillGivesLibsensorsValue) {
    FixtureMachine machine("amd-desktop");
    machine.Write("etc/sensors3.conf",
                  "chip \"it8688-isa-a30\"\n ignore fan1\n compute fan2 @*2, @/2\n");
    TQV_MOUNT_FIXTURE_OR_SKIP(machine);
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    hub.CollectInventory();
    const std::string fan = "sys/devices/platform/it87.2608/hwmon/hwmon2/fan2_input";
    for (int cycle = 0; cycle < 5; ++cycle) {
        machine.Write(fan, std::to_string(700 + 10 * cycle) + "\n");
        machine.AdvanceClockUs(1000000);
        RefreshCycle(hub);
        EXPECT_FLOAT_EQ(hub.readings.cpuFanRpm, 2.0f * static_cast<float>(700 + 10 * cycle));
    }
}

TEST(FixtureMachineTest, BrokenSensorsConfStillGivesTheChips) {
    FixtureMachine machine("intel-desktop");
    machine.Write("etc/sensors3.conf", "chip \"nct6798-*\n label fan2 \"CPU Fan\n compute @@ ((\n");
    TQV_MOUNT_FIXTURE_OR_SKIP(machine);
    SensorHub hub;
    ASSERT_TRUE(BindLibrary(hub));
    // libsensors loses the token it was reading when it rejects a file (see the suppression
    // above); keeping it loaded to the end lets the leak checker name it.
    static void* keepLibsensors = ::dlopen("libsensors.so.5", RTLD_NOW | RTLD_NOLOAD);
    (void)keepLibsensors;
    hub.CollectInventory();
    RefreshCycle(hub);
    EXPECT_FLOAT_EQ(hub.readings.cpuTempC, 45.0f);
    EXPECT_FLOAT_EQ(hub.readings.cpuFanRpm, 812.0f);  // no label now: the chip's first fan
}

}  // namespace
}  // namespace tqv::test
