// The monitor core in-process: the real binding to the scripted sensor library, the fake
// hidapi, and the display emulator on a pseudo-terminal as the serial display.
#include "monitor/monitor_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sensors/sensor_hub.h"
#include "tests/fakes/fake_hidapi.h"
#include "tests/tools/emulator_process.h"

namespace tqv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(TruncateReading, TruncatesTowardZeroAndNeverOverflows) {
    struct Case {
        float in;
        std::int32_t out;
    } cases[] = {
        {37.9f, 37},
        {64.6f, 64},
        {3599.6f, 3599},
        {-3.7f, -3},
        {0.0f, 0},
        {std::numeric_limits<float>::quiet_NaN(), 0},
        {std::numeric_limits<float>::infinity(), std::numeric_limits<std::int32_t>::max()},
        {-std::numeric_limits<float>::infinity(), std::numeric_limits<std::int32_t>::min()},
        {1e10f, std::numeric_limits<std::int32_t>::max()},
        {-1e10f, std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TruncateReading(c.in), c.out) << c.in;
    }
}

// Records what the worker writes, with the moment of each cycle's first write.
class RecordingView : public MonitorView {
public:
    void SetBarValue(MonitorBar bar, std::int32_t value) override {
        std::unique_lock lock(mutex_);
        if (bar == MonitorBar::CpuLoad) cycleStarts.push_back(Clock::now());
        bars[static_cast<int>(bar)] = value;
        // A test may hold the worker inside its cycle.
        released_.wait(lock, [&] { return !holding; });
    }
    void SetLabelText(MonitorBar bar, const char* text) override {
        std::lock_guard lock(mutex_);
        labels[static_cast<int>(bar)] = text;
    }
    void SetGaugeValue(MonitorGauge gauge, std::int32_t value, std::uint8_t unit) override {
        std::lock_guard lock(mutex_);
        gauges[static_cast<int>(gauge)] = {value, unit};
    }

    void Hold() {
        std::lock_guard lock(mutex_);
        holding = true;
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            holding = false;
        }
        released_.notify_all();
    }
    template <typename F>
    auto With(F f) {
        std::lock_guard lock(mutex_);
        return f(*this);
    }

    std::vector<Clock::time_point> cycleStarts;
    std::int32_t bars[kMonitorBarCount] = {};
    std::string labels[kMonitorBarCount];
    std::pair<std::int32_t, std::uint8_t> gauges[2] = {};
    bool holding = false;

private:
    std::mutex mutex_;
    std::condition_variable released_;
};

DeviceChange Removal(const std::string& name) {
    return DeviceChange{DeviceChangeKind::Removal, name, ""};
}

class MonitorCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_hid::Reset();
        char pattern[] = "/tmp/tqv-monitor-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        // No serial ports are discovered from this empty tree; only named ports are probed.
        std::filesystem::create_directories(dir_ + "/sys/class/tty");
        ::setenv("TQV_SYSFS_ROOT", (dir_ + "/sys").c_str(), 1);
        ::setenv("TQV_SCRIPTED_SDK_SCENARIO", (dir_ + "/scenario").c_str(), 1);
        std::filesystem::copy_file(TQV_SCRIPTED_SDK, dir_ + "/cpuidsdk.so");
    }
    void TearDown() override {
        ::unsetenv("TQV_SYSFS_ROOT");
        ::unsetenv("TQV_SCRIPTED_SDK_SCENARIO");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void Bind(SensorHub& hub, const std::string& scenario) {
        std::ofstream(dir_ + "/scenario") << scenario;
        ASSERT_TRUE(hub.BindSdk(dir_ + "/", "cpuidsdk.so"));
        hub.CollectInventory();
    }

    static MonitorTiming Fast() {
        MonitorTiming t;
        t.startDelay = 200ms;
        t.cycleSleep = 100ms;
        t.stopWait = 1000ms;
        return t;
    }

    static void WaitForCycles(MonitorCore& core, std::uint64_t n, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (core.CycleCount() < n && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    }

    std::string dir_;
};

constexpr const char* kReadings =
    "device 4 CPU\n"
    "sensor 0xE000 37.9\n"
    "sensor 0xF000 3599.6\n"
    "sensor 0x5000 64.6\n"
    "sensor 0x2000 45.5\n"
    "device 1024 Board\n"
    "sensor 0x3000 1250.4\n"
    "device 32 GPU\n"
    "sensor 0xE000 3\n"
    "sensor 0xF000 1500\n"
    "sensor 0x3000 800.5\n"
    "sensor 0x5000 19.5\n"
    "sensor 0x2000 50\n";

TEST_F(MonitorCoreTest, CycleWritesRoundedLabelsAndTruncatedBarsAndGauges) {
    SensorHub hub;
    Bind(hub, kReadings);
    RecordingView view;
    MonitorCore core(Fast());
    core.SetView(&view);
    core.InitMonitorPage(&hub);
    core.SetTemperatureUnit(0);
    core.Start();
    WaitForCycles(core, 1, 3s);
    ASSERT_TRUE(core.Stop());

    view.With([](RecordingView& v) {
        struct Row {
            MonitorBar bar;
            std::int32_t value;
            const char* text;
        } rows[] = {
            {MonitorBar::CpuLoad, 37, "37 %"},       {MonitorBar::GpuLoad, 3, "3 %"},
            {MonitorBar::CpuClock, 3599, "3600 MHz"}, {MonitorBar::GpuClock, 1500, "1500 MHz"},
            {MonitorBar::CpuFan, 1250, "1250 RPM"},   {MonitorBar::GpuFan, 800, "800 RPM"},
            {MonitorBar::CpuPower, 64, "65 W"},       {MonitorBar::GpuPower, 19, "20 W"},
        };
        for (const auto& r : rows) {
            EXPECT_EQ(v.bars[static_cast<int>(r.bar)], r.value);
            EXPECT_EQ(v.labels[static_cast<int>(r.bar)], r.text);
        }
        EXPECT_EQ(v.gauges[0], std::make_pair(45, std::uint8_t{0}));
        EXPECT_EQ(v.gauges[1], std::make_pair(50, std::uint8_t{0}));
    });
}

TEST_F(MonitorCoreTest, FirstCycleBeginsAfterTheStartDelayEvenWhenStartedAtOnce) {
    SensorHub hub;
    Bind(hub, kReadings);
    RecordingView view;
    MonitorTiming timing = Fast();
    timing.startDelay = 600ms;
    const auto created = Clock::now();
    MonitorCore core(timing);
    core.SetView(&view);
    core.InitMonitorPage(&hub);
    core.Start();
    WaitForCycles(core, 1, 3s);
    ASSERT_TRUE(core.Stop());
    auto first = view.With([](RecordingView& v) { return v.cycleStarts.at(0); });
    EXPECT_GE(first - created, 600ms);
}

TEST_F(MonitorCoreTest, WithoutSerialDisplayEachCycleFeedsTheHidDisplay) {
    SensorHub hub;
    Bind(hub, kReadings);
    MonitorCore core(Fast());
    core.InitMonitorPage(&hub);
    ASSERT_FALSE(core.SerialPresent());
    fake_hid::SetOpenSucceeds(true);
    core.Start();
    WaitForCycles(core, 3, 3s);
    ASSERT_TRUE(core.Stop());

    auto calls = fake_hid::Functions();
    // The first HID cycle opens the device, every later one writes a report; the stop closes
    // the device and shuts the library down.
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0], "hid_open");
    EXPECT_EQ(calls[1], "hid_write");
    EXPECT_EQ(calls[calls.size() - 2], "hid_close");
    EXPECT_EQ(calls.back(), "hid_exit");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "hid_open"), 1);
    auto writes = fake_hid::Calls();
    const auto& report = writes[1].data;
    ASSERT_EQ(report.size(), 65u);
    EXPECT_EQ(report[2], 45);  // CPU temperature, always in Celsius
    EXPECT_EQ(report[3], 37);  // CPU load, truncated
}

TEST_F(MonitorCoreTest, ConfirmedSerialDisplayGetsTheRotationAndTheHidDisplayIsLeftAlone) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(TQV_DISPLAY_EMULATOR, {}));
    SensorHub hub;
    Bind(hub, kReadings);
    MonitorCore core(Fast());
    core.InitMonitorPage(&hub, {emulator.path()});
    ASSERT_TRUE(core.SerialPresent());
    DisplaySettings settings;
    settings.showCpuTemp = 1;
    settings.rotationSpeed = 2;
    core.ApplyDisplaySettings(1, settings);
    core.SetTemperatureUnit(1);
    core.Start();
    auto frames = emulator.WaitForLines("FRAME cmd=show", 1, 3s);
    ASSERT_TRUE(core.Stop());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_NE(frames[0].find("value=45"), std::string::npos) << frames[0];
    auto calls = fake_hid::Functions();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "hid_open"), 0);
}

TEST_F(MonitorCoreTest, HidRemovalMakesTheNextCycleOpenAfreshAndOtherDevicesDoNot) {
    SensorHub hub;
    Bind(hub, kReadings);
    MonitorCore core(Fast());
    core.InitMonitorPage(&hub);
    fake_hid::SetOpenSucceeds(true);
    core.Start();
    WaitForCycles(core, 2, 3s);
    auto opens = [] {
        auto f = fake_hid::Functions();
        return std::count(f.begin(), f.end(), "hid_open");
    };
    ASSERT_EQ(opens(), 1);

    core.OnDeviceChange(Removal("\\\\?\\USB#VID_1234&PID_5678#0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
    auto cycles = core.CycleCount();
    WaitForCycles(core, cycles + 2, 3s);
    EXPECT_EQ(opens(), 1);

    core.OnDeviceChange(Removal("\\\\?\\USB#VID_5131&PID_2007#0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
    cycles = core.CycleCount();
    WaitForCycles(core, cycles + 2, 3s);
    EXPECT_EQ(opens(), 2);
    ASSERT_TRUE(core.Stop());
}

TEST_F(MonitorCoreTest, StopDuringTheSleepIsImmediate) {
    SensorHub hub;
    Bind(hub, kReadings);
    MonitorCore core;  // the program's own pace: a one-second sleep after each cycle
    core.InitMonitorPage(&hub);
    core.Start();
    WaitForCycles(core, 1, 5s);
    ASSERT_EQ(core.CycleCount(), 1u);
    const auto before = Clock::now();
    EXPECT_TRUE(core.Stop());
    EXPECT_LT(Clock::now() - before, 500ms);
    EXPECT_TRUE(core.WorkerFinished());
}

TEST_F(MonitorCoreTest, WorkerStuckInACyclePastTheBoundIsLeftBehind) {
    SensorHub hub;
    Bind(hub, kReadings);
    RecordingView view;
    auto* core = new MonitorCore(Fast());
    core->SetView(&view);
    core->InitMonitorPage(&hub);
    view.Hold();
    core->Start();
    const auto deadline = Clock::now() + 3s;
    while (view.With([](RecordingView& v) { return v.cycleStarts.empty(); }) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    const auto before = Clock::now();
    EXPECT_FALSE(core->Stop());
    EXPECT_GE(Clock::now() - before, 1000ms);
    EXPECT_LT(Clock::now() - before, 2500ms);

    // Let the abandoned worker finish before the core goes.
    view.Release();
    const auto finish = Clock::now() + 3s;
    while (!core->WorkerFinished() && Clock::now() < finish) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(core->WorkerFinished());
    delete core;
}

TEST_F(MonitorCoreTest, SettingsRebuildsAndRemovalsFromAnotherThreadWhileTheWorkerRuns) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(TQV_DISPLAY_EMULATOR, {}));
    SensorHub hub;
    Bind(hub, kReadings);
    RecordingView view;
    MonitorTiming timing = Fast();
    timing.startDelay = 0ms;
    timing.cycleSleep = 1ms;
    MonitorCore core(timing);
    core.SetView(&view);
    core.InitMonitorPage(&hub, {emulator.path()});
    fake_hid::SetOpenSucceeds(true);
    core.Start();

    DisplaySettings settings;
    settings.rotationSpeed = 2;
    for (int i = 0; i < 40; ++i) {
        settings.showCpuTemp = static_cast<std::uint8_t>(i % 2);
        settings.showGpuLoad = static_cast<std::uint8_t>((i / 2) % 2);
        core.ApplyDisplaySettings(1, settings);
        core.SetTemperatureUnit(static_cast<std::uint8_t>(i % 3));
        if (i % 10 == 0) core.RebuildSerialLink();
        core.OnDeviceChange(Removal("\\\\?\\USB#VID_5131&PID_2007#1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(core.Stop());
    EXPECT_GT(core.CycleCount(), 0u);
    EXPECT_EQ(fake_hid::Misuses(), 0);
}

}  // namespace
}  // namespace tqv
