// cpuidsdk.so loaded with dlopen, as any program would: its entry point, its answers to bad
// arguments, and its readers on fixture trees that need no hwmon chip (TQV_SYSFS_ROOT), plus one
// look at the real machine.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sdk/sdk_interface.h"
#include "tests/sdk/fixture_machine.h"

namespace tqv::test {
namespace {

constexpr const char* kLibrary = TQV_PORTABLE_DIR "/cpuidsdk.so";

// The library's operations, looked up by id.
struct Sdk {
    void* handle = nullptr;
    SdkQueryInterfaceFn query = nullptr;
    SdkCreateFn create = nullptr;
    SdkDestroyFn destroy = nullptr;
    SdkStartFn start = nullptr;
    SdkStopFn stop = nullptr;
    SdkUpdateFn update = nullptr;
    SdkPostInitFn postInit = nullptr;
    SdkCpuTempFn cpuTemp = nullptr;
    SdkMemKindFn memKind = nullptr;
    SdkMemMegabytesFn memMegabytes = nullptr;
    SdkMemTextFn memText = nullptr;
    SdkDeviceTotalFn deviceTotal = nullptr;
    SdkDeviceKindFn deviceKind = nullptr;
    SdkDeviceLabelFn deviceLabel = nullptr;
    SdkSensorTotalFn sensorTotal = nullptr;
    SdkSensorReadFn sensorRead = nullptr;

    Sdk() {
        handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        query = reinterpret_cast<SdkQueryInterfaceFn>(::dlsym(handle, SDK_ENTRY_POINT_NAME));
        if (!query)
            return;
        create = Op<SdkCreateFn>(SDK_ID_CREATE);
        destroy = Op<SdkDestroyFn>(SDK_ID_DESTROY);
        start = Op<SdkStartFn>(SDK_ID_START);
        stop = Op<SdkStopFn>(SDK_ID_STOP);
        update = Op<SdkUpdateFn>(SDK_ID_UPDATE);
        postInit = Op<SdkPostInitFn>(SDK_ID_POST_INIT);
        cpuTemp = Op<SdkCpuTempFn>(SDK_ID_CPU_TEMP);
        memKind = Op<SdkMemKindFn>(SDK_ID_MEM_KIND);
        memMegabytes = Op<SdkMemMegabytesFn>(SDK_ID_MEM_MEGABYTES);
        memText = Op<SdkMemTextFn>(SDK_ID_MEM_TEXT);
        deviceTotal = Op<SdkDeviceTotalFn>(SDK_ID_DEVICE_TOTAL);
        deviceKind = Op<SdkDeviceKindFn>(SDK_ID_DEVICE_KIND);
        deviceLabel = Op<SdkDeviceLabelFn>(SDK_ID_DEVICE_LABEL);
        sensorTotal = Op<SdkSensorTotalFn>(SDK_ID_SENSOR_TOTAL);
        sensorRead = Op<SdkSensorReadFn>(SDK_ID_SENSOR_READ);
    }
    ~Sdk() {
        if (handle)
            ::dlclose(handle);
    }
    template <typename Fn>
    Fn Op(std::uint32_t id) {
        return reinterpret_cast<Fn>(query(id));
    }
    bool Complete() const { return sensorRead != nullptr && create != nullptr; }

    // Starts an instance as the program does.
    SdkHandle Open() {
        SdkHandle sdk = create();
        std::int32_t a = 7, b = 7;
        start(sdk, TQV_PORTABLE_DIR "/", "cpuidsdk.so", 0x7FFFFFFF, &a, &b);
        std::int32_t c = 7;
        postInit(sdk, &c);
        update(sdk);
        return sdk;
    }

    std::string Text(SdkText text) {
        std::string copy = text ? std::string(text, SdkTextLength(text)) : "<null>";
        SdkTextFree(text);
        return copy;
    }

    // Devices of one kind, by index.
    std::vector<std::int32_t> DevicesOf(SdkHandle sdk, std::int32_t kind) {
        std::vector<std::int32_t> found;
        for (std::int32_t i = 0; i < deviceTotal(sdk); ++i) {
            if (deviceKind(sdk, i) == kind)
                found.push_back(i);
        }
        return found;
    }

    // Sensor 0 of `kind` on `device`, when valid.
    std::optional<float> Read(SdkHandle sdk, std::int32_t device, std::int32_t kind) {
        float value = -12345.0f;
        SdkText name = nullptr;
        std::int32_t ok =
            sensorRead(sdk, device, 0, kind, nullptr, &name, nullptr, &value, nullptr, nullptr);
        SdkTextFree(name);
        if (!ok)
            return std::nullopt;
        return value;
    }
};

#define TQV_REQUIRE_SDK(sdk) \
    ASSERT_TRUE((sdk).Complete()) << "cannot load " << kLibrary << ": " << ::dlerror()

TEST(SdkLibraryTest, HandsOutTheFifteenOperationsAndNothingElse) {
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    for (std::uint32_t id :
         {SDK_ID_CREATE, SDK_ID_DESTROY, SDK_ID_START, SDK_ID_STOP, SDK_ID_UPDATE, SDK_ID_POST_INIT,
          SDK_ID_CPU_TEMP, SDK_ID_MEM_KIND, SDK_ID_MEM_MEGABYTES, SDK_ID_MEM_TEXT,
          SDK_ID_DEVICE_TOTAL, SDK_ID_DEVICE_KIND, SDK_ID_DEVICE_LABEL, SDK_ID_SENSOR_TOTAL,
          SDK_ID_SENSOR_READ}) {
        EXPECT_NE(sdk.query(id), nullptr) << std::hex << id;
    }
    for (std::uint32_t id :
         {0u, 1u, 0xFFFFFFFFu, SDK_ID_CREATE + 1, SDK_ID_SENSOR_READ - 1, 0x12345678u}) {
        EXPECT_EQ(sdk.query(id), nullptr) << std::hex << id;
    }
    // Only the entry point is exported: the library's own code stays out of the program's way.
    EXPECT_EQ(::dlsym(sdk.handle, "_ZN3tqv3sdk7MachineC1Ev"), nullptr);
    EXPECT_EQ(
        ::dlsym(sdk.handle,
                "_ZN3tqv3sdk8KeptFile4OpenERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"),
        nullptr);
}

TEST(SdkLibraryTest, BadHandlesIndicesAndKindsGetEmptyAnswers) {
    FixtureMachine machine("bare-vm");
    machine.UseSysfsRoot();
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle good = sdk.Open();
    ASSERT_NE(good, 0);

    for (SdkHandle bad : {0, -1, good + 1000}) {
        sdk.update(bad);
        sdk.stop(bad);
        EXPECT_EQ(sdk.deviceTotal(bad), -1);
        EXPECT_EQ(sdk.deviceKind(bad, 0), -1);
        EXPECT_EQ(sdk.deviceLabel(bad, 0), nullptr);
        EXPECT_EQ(sdk.sensorTotal(bad, 0, SDK_SENSOR_ANY), 0);
        EXPECT_EQ(sdk.memKind(bad), -1);
        EXPECT_EQ(sdk.memMegabytes(bad), -1);
        EXPECT_EQ(sdk.memText(bad, 0), nullptr);
        EXPECT_EQ(sdk.cpuTemp(bad, 0), -1.0f);
        SdkText name = reinterpret_cast<SdkText>(&name);
        std::int32_t a = 5, b = 5;
        EXPECT_EQ(
            sdk.sensorRead(bad, 0, 0, SDK_SENSOR_LOAD, &a, &name, &b, nullptr, nullptr, nullptr),
            0);
        EXPECT_EQ(name, nullptr);
    }

    std::int32_t total = sdk.deviceTotal(good);
    ASSERT_GT(total, 0);
    for (std::int32_t device : {-1, total, 100000, INT32_MIN}) {
        EXPECT_EQ(sdk.deviceKind(good, device), -1);
        EXPECT_EQ(sdk.deviceLabel(good, device), nullptr);
        EXPECT_EQ(sdk.sensorTotal(good, device, SDK_SENSOR_ANY), 0);
        EXPECT_EQ(sdk.Read(good, device, SDK_SENSOR_LOAD), std::nullopt);
    }
    for (std::int32_t kind : {0, 0x1000, 0x2001, 0x7FFFFFFF}) {
        EXPECT_EQ(sdk.sensorTotal(good, 0, kind), 0) << kind;
        EXPECT_EQ(sdk.Read(good, 0, kind), std::nullopt) << kind;
    }
    for (std::int32_t index : {-1, 1, 1000}) {
        EXPECT_EQ(sdk.sensorRead(good, 0, index, SDK_SENSOR_LOAD, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr),
                  0);
    }
    // Every output may be null.
    EXPECT_EQ(sdk.sensorRead(good, 0, 0, SDK_SENSOR_CLOCK, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
              1);
    sdk.postInit(good, nullptr);
    sdk.start(good, nullptr, nullptr, 0, nullptr, nullptr);

    // After stop the instance answers nothing until it is started again.
    sdk.stop(good);
    EXPECT_EQ(sdk.deviceTotal(good), -1);
    EXPECT_EQ(sdk.Read(good, 0, SDK_SENSOR_CLOCK), std::nullopt);
    sdk.start(good, "", "", 0x7FFFFFFF, nullptr, nullptr);
    EXPECT_EQ(sdk.deviceTotal(good), total);
    sdk.destroy(good);
    sdk.destroy(good);
    EXPECT_EQ(sdk.deviceTotal(good), -1);
}

TEST(SdkLibraryTest, TwoInstancesAreIndependent) {
    FixtureMachine machine("bare-vm");
    machine.UseSysfsRoot();
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle first = sdk.Open();
    SdkHandle second = sdk.Open();
    ASSERT_NE(first, second);
    sdk.destroy(first);
    EXPECT_EQ(sdk.deviceTotal(first), -1);
    EXPECT_EQ(sdk.Text(sdk.deviceLabel(second, 0)), "AMD EPYC");
    sdk.destroy(second);
}

TEST(SdkLibraryTest, MemoryFromSmbiosOrFromTheKernelTotal) {
    struct Case {
        const char* fixture;
        bool dropSmbios;
        std::int32_t megabytes;
        std::int32_t kind;
        const char* text;
    } cases[] = {
        {"intel-desktop", false, 32768, 10, "Kingston"},    // two 16 GB DDR4, one empty slot
        {"amd-desktop", false, 16384, 10, "G Skill Intl"},  // first module's maker unknown
        {"laptop", false, 16384, 13, "Samsung"},            // LPDDR5: no DDR3/DDR4 code
        {"amd-desktop", true, 16384, 0, "<null>"},          // SMBIOS unreadable: MemTotal
        {"bare-vm", false, 24576, 0, "<null>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + (c.dropSmbios ? " without SMBIOS" : ""));
        FixtureMachine machine(c.fixture);
        machine.UseSysfsRoot();
        if (c.dropSmbios)
            fs::remove_all(machine.Path("sys/firmware/dmi"));
        Sdk sdk;
        TQV_REQUIRE_SDK(sdk);
        SdkHandle handle = sdk.Open();
        EXPECT_EQ(sdk.memMegabytes(handle), c.megabytes);
        EXPECT_EQ(sdk.memKind(handle), c.kind);
        EXPECT_EQ(sdk.Text(sdk.memText(handle, 0)), c.text);
        sdk.destroy(handle);
    }
}

TEST(SdkLibraryTest, RealDisksOnlyWithBusyPercentOverTime) {
    FixtureMachine machine("amd-desktop");
    machine.UseSysfsRoot();
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle handle = sdk.Open();
    auto drives = sdk.DevicesOf(handle, SDK_DEVICE_DRIVE);
    ASSERT_EQ(drives.size(), 1u) << "zram0 and dm-0 are not drives";
    EXPECT_EQ(sdk.Text(sdk.deviceLabel(handle, drives[0])), "Samsung SSD 860 EVO 500GB");

    // 250 ms of I/O in one second, then 500 ms in two seconds.
    std::string stats =
        "   8       0 sda 1 2 3 4 5 6 7 8 0 %d 0 0 0 0 0\n   8       1 sda1 1 2 3 4 5 6 7 8 0 "
        "99999 0\n";
    char text[256];
    std::snprintf(text, sizeof text, stats.c_str(), 5250);
    machine.Write("proc/diskstats", text);
    machine.AdvanceClockUs(1000000);
    sdk.update(handle);
    EXPECT_FLOAT_EQ(sdk.Read(handle, drives[0], SDK_SENSOR_LOAD).value_or(-1), 25.0f);
    std::snprintf(text, sizeof text, stats.c_str(), 5750);
    machine.Write("proc/diskstats", text);
    machine.AdvanceClockUs(2000000);
    sdk.update(handle);
    EXPECT_FLOAT_EQ(sdk.Read(handle, drives[0], SDK_SENSOR_LOAD).value_or(-1), 25.0f);
    sdk.destroy(handle);

    FixtureMachine laptop("laptop");
    laptop.UseSysfsRoot();
    handle = sdk.Open();
    std::vector<std::string> names;
    for (auto d : sdk.DevicesOf(handle, SDK_DEVICE_DRIVE)) {
        names.push_back(sdk.Text(sdk.deviceLabel(handle, d)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"SC32G", "WDC PC SN810 SDCPNRY-512G"}));
    sdk.destroy(handle);
}

TEST(SdkLibraryTest, SecondCpuTemperatureFromTheThermalZone) {
    struct Case {
        const char* fixture;
        float expected;
    } cases[] = {
        {"intel-desktop", 46.0f},  // x86_pkg_temp before the acpitz zone listed first
        {"laptop", 53.0f},
        {"bare-vm", -1.0f},
    };
    for (const auto& c : cases) {
        FixtureMachine machine(c.fixture);
        machine.UseSysfsRoot();
        Sdk sdk;
        TQV_REQUIRE_SDK(sdk);
        SdkHandle handle = sdk.Open();
        EXPECT_FLOAT_EQ(sdk.cpuTemp(handle, 0), c.expected) << c.fixture;
        sdk.destroy(handle);
    }
}

TEST(SdkLibraryTest, ClockFromCpuinfoIsReadRarely) {
    FixtureMachine machine("bare-vm");
    machine.UseSysfsRoot();
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle handle = sdk.Open();
    EXPECT_FLOAT_EQ(sdk.Read(handle, 0, SDK_SENSOR_CLOCK).value_or(-1), 2096.005f);
    std::string cpuinfo = ReadFile(machine.Path("proc/cpuinfo"));
    for (auto at = cpuinfo.find("2096.005"); at != std::string::npos;
         at = cpuinfo.find("2096.005")) {
        cpuinfo.replace(at, 8, "3000.000");
    }
    machine.Write("proc/cpuinfo", cpuinfo);
    machine.AdvanceClockUs(1000000);
    sdk.update(handle);
    EXPECT_FLOAT_EQ(sdk.Read(handle, 0, SDK_SENSOR_CLOCK).value_or(-1), 2096.005f);
    machine.AdvanceClockUs(5000000);
    sdk.update(handle);
    EXPECT_FLOAT_EQ(sdk.Read(handle, 0, SDK_SENSOR_CLOCK).value_or(-1), 3000.0f);
    sdk.destroy(handle);
}

// Opens and reads of the files in some folders, as inotify reports them.
class FileWatch {
  public:
    FileWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FileWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Add(const fs::path& folder) {
        return fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ACCESS) >= 0;
    }
    // The files read since the last call, each once, sorted.
    std::set<std::string> Read() {
        std::set<std::string> names;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                if ((event->mask & IN_ACCESS) && event->len)
                    names.insert(event->name);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

  private:
    int fd_;
};

// An update reads nothing; a read reads its own sensor's file and nothing else, and only once
// per update however often it is asked.
TEST(SdkLibraryTest, UpdatesReadNothingAndReadsOnlyWhatIsAskedFor) {
    FixtureMachine machine("amd-desktop");
    machine.UseSysfsRoot();
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle handle = sdk.Open();
    auto cards = sdk.DevicesOf(handle, SDK_DEVICE_GRAPHICS);
    ASSERT_EQ(cards.size(), 1u);
    const std::string card = "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0";
    FileWatch watch;
    for (const char* folder : {"proc", "sys/devices/system/cpu/cpufreq/policy0",
                               "sys/devices/virtual/powercap/intel-rapl/intel-rapl:0",
                               "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0",
                               "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0/power"}) {
        ASSERT_TRUE(watch.Add(machine.Path(folder))) << folder;
    }
    watch.Read();

    for (int i = 0; i < 5; ++i)
        sdk.update(handle);
    EXPECT_EQ(watch.Read(), std::set<std::string>{});

    machine.AdvanceClockUs(1000000);
    machine.WriteCpuStat(1370, 500, 8800);
    sdk.update(handle);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(sdk.Read(handle, 0, SDK_SENSOR_CLOCK));
    EXPECT_EQ(watch.Read(), std::set<std::string>{"scaling_cur_freq"});
    EXPECT_TRUE(sdk.Read(handle, cards[0], SDK_SENSOR_LOAD));
    EXPECT_EQ(watch.Read(), (std::set<std::string>{"gpu_busy_percent", "runtime_status"}));
    EXPECT_TRUE(sdk.Read(handle, 0, SDK_SENSOR_LOAD));
    EXPECT_EQ(watch.Read(), std::set<std::string>{"stat"});
    sdk.destroy(handle);
}

// Current kernels let only root read the RAPL counter. Run as an ordinary user, the processor
// must have no power sensor rather than one that reads nothing.
TEST(SdkLibraryTest, UnreadableEnergyCounterMeansNoPowerSensor) {
    FixtureMachine machine("intel-desktop");
    machine.UseSysfsRoot();
    std::string counter =
        machine.Path("sys/devices/virtual/powercap/intel-rapl/intel-rapl:0/energy_uj").string();
    ASSERT_EQ(::chmod(counter.c_str(), 0400), 0);
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    {
        SdkHandle handle = sdk.Open();
        EXPECT_EQ(sdk.sensorTotal(handle, 0, SDK_SENSOR_POWER), ::geteuid() == 0 ? 1 : 0);
        sdk.destroy(handle);
    }
    if (::geteuid() != 0)
        return;  // the check above was already the ordinary user's
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        SdkHandle handle = sdk.Open();
        int powerSensors = sdk.sensorTotal(handle, 0, SDK_SENSOR_POWER);
        int loadSensors = sdk.sensorTotal(handle, 0, SDK_SENSOR_LOAD);
        ::_exit(powerSensors == 0 && loadSensors == 1 ? 0 : 10 + powerSensors);
    }
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (::waitpid(child, &status, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the unprivileged reader did not finish";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "100: could not drop privileges; 10+n: n power sensors";
}

TEST(SdkLibraryTest, BrokenFilesNeverCrashOrHang) {
    FixtureMachine machine("amd-desktop");
    machine.UseSysfsRoot();
    std::string garbage = "\x01\xff\xfe garbage -99999999999999999999999 nan inf\n";
    garbage += std::string(5000, 'x');
    for (const char* file :
         {"proc/stat", "proc/cpuinfo", "proc/meminfo", "proc/diskstats",
          "sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq",
          "sys/devices/virtual/powercap/intel-rapl/intel-rapl:0/energy_uj",
          "sys/devices/virtual/powercap/intel-rapl/intel-rapl:0/max_energy_range_uj",
          "sys/devices/virtual/dmi/id/board_name",
          "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0/gpu_busy_percent",
          "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0/pp_dpm_sclk",
          "sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0/class"}) {
        machine.Write(file, garbage);
    }
    machine.Write("sys/firmware/dmi/entries/17-0/raw", std::string("\x11\xff\x00", 3));
    machine.Write("sys/firmware/dmi/entries/17-1/raw",
                  std::string("\x11\x28", 2) + std::string(100, '\xff'));
    // A fifo where a value file should be must not block a read.
    std::string fifo =
        machine.Path("sys/devices/pci0000:00/0000:00:03.1/0000:0b:00.0/power/runtime_status");
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle handle = sdk.Open();
    for (int cycle = 0; cycle < 3; ++cycle) {
        machine.AdvanceClockUs(1000000);
        for (std::int32_t kind : {SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN,
                                  SDK_SENSOR_POWER, SDK_SENSOR_TEMPERATURE}) {
            sdk.update(handle);
            for (std::int32_t d = 0; d < sdk.deviceTotal(handle); ++d) {
                for (std::int32_t i = 0; i < sdk.sensorTotal(handle, d, kind); ++i) {
                    float value = 0;
                    SdkText name = nullptr;
                    if (sdk.sensorRead(handle, d, i, kind, nullptr, &name, nullptr, &value, nullptr,
                                       nullptr)) {
                        EXPECT_TRUE(std::isfinite(value));
                    }
                    SdkTextFree(name);
                }
            }
        }
    }
    EXPECT_EQ(sdk.Text(sdk.deviceLabel(handle, 0)), "<null>");
    EXPECT_GE(sdk.memMegabytes(handle), -1);
    sdk.destroy(handle);
}

// This machine, as it is: the processor's name, load and clock where the kernel offers them.
TEST(SdkLibraryTest, RealMachineShowsProcessorNameAndLoad) {
    ScopedEnv sys("TQV_SYSFS_ROOT", nullptr);
    ScopedEnv proc("TQV_PROCFS_ROOT", nullptr);
    ScopedEnv clock("TQV_SDK_CLOCK_FILE", nullptr);
    Sdk sdk;
    TQV_REQUIRE_SDK(sdk);
    SdkHandle handle = sdk.Open();
    ASSERT_GE(sdk.deviceTotal(handle), 2);
    EXPECT_EQ(sdk.deviceKind(handle, 0), SDK_DEVICE_PROCESSOR);
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::stringstream text;
    text << cpuinfo.rdbuf();
    if (text.str().find("model name") != std::string::npos) {
        EXPECT_NE(sdk.Text(sdk.deviceLabel(handle, 0)), "<null>");
    }
    ASSERT_EQ(sdk.sensorTotal(handle, 0, SDK_SENSOR_LOAD), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    sdk.update(handle);
    auto load = sdk.Read(handle, 0, SDK_SENSOR_LOAD);
    ASSERT_TRUE(load);
    EXPECT_GE(*load, 0.0f);
    EXPECT_LE(*load, 100.0f);
    if (sdk.sensorTotal(handle, 0, SDK_SENSOR_CLOCK) > 0) {
        EXPECT_GT(sdk.Read(handle, 0, SDK_SENSOR_CLOCK).value_or(0), 0.0f);
    }
    sdk.destroy(handle);
}

}  // namespace
}  // namespace tqv::test
