// End-to-end tests of the real `tarquelonvist --headless` process: the scripted sensor library
// beside it, the display emulator on a pseudo-terminal as the serial display, and a hidapi
// stand-in preloaded for the HID display.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/monitor/headless_process.h"
#include "tests/tools/emulator_process.h"

namespace tqv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kScenario =
    "device 4 Test Processor\n"
    "sensor 0x2000 45\n"
    "sensor 0xF000 3600\n"
    "sensor 0x5000 65\n"
    "sensor 0xE000 12\n"
    "device 1024 Test Board\n"
    "sensor 0x3000 1250\n"
    "device 32 Test Graphics\n"
    "sensor 0x2000 50\n"
    "sensor 0xF000 1500\n"
    "sensor 0x3000 800\n"
    "sensor 0x5000 20\n"
    "sensor 0xE000 3\n";

// The HID report those readings give.
constexpr const char* kExpectedReport =
    "write 00 40 2d 0c 0e 10 04 e2 00 41 32 03 05 dc 03 20 00 14"
    " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

std::string SettingsText(int unit, int speed, int orientation, const std::vector<int>& items) {
    // items: the ten show flags in file order, then animation.
    static const char* keys[] = {"TFT_CTEMP", "TFT_CFREQ", "TFT_CTRPM", "TFT_CPOWER",
                                 "TFT_CLOAD", "TFT_GTEMP", "TFT_GFREQ", "TFT_GTRPM",
                                 "TFT_GPOWER", "TFT_GLOAD"};
    std::ostringstream s;
    s << "[VELKRAN SETTINGS]\nTEMPERATURE=" << unit << "\nATUO START=0\n";
    for (int i = 0; i < 10; ++i) s << keys[i] << "=" << items[static_cast<std::size_t>(i)] << "\n";
    s << "TFT_OPEN=1\nTFT_SPEED=" << speed << "\nTFT_ANIMATION=" << items[10]
      << "\nTFT_TURN=" << orientation << "\n";
    return s.str();
}

// The value of `key=` in an emulator line, or empty.
std::string Field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
    }
    return {};
}

std::vector<std::string> LogLines(const std::string& path, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(ReadFileText(path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::make_unique<PortableFolder>(std::string(TQV_PORTABLE_DIR) + "/tarquelonvist",
                                                   TQV_SCRIPTED_SDK);
        std::filesystem::create_directories(folder_->Sysfs() + "/class/tty");
        WriteFileText(folder_->Root() + "/scenario", kScenario);
        hidLog_ = folder_->Root() + "/hid.log";
        output_ = folder_->Root() + "/output.log";
    }

    std::map<std::string, std::string> Environment(bool hidOpens) const {
        return {
            {"HOME", folder_->Home()},
            {"XDG_CONFIG_HOME", folder_->Home() + "/.config"},
            {"XDG_RUNTIME_DIR", folder_->Runtime()},
            {"XDG_SESSION_ID", "test"},
            {"TQV_SYSFS_ROOT", folder_->Sysfs()},
            {"TQV_SCRIPTED_SDK_SCENARIO", folder_->Root() + "/scenario"},
            {"LD_PRELOAD", TQV_HIDAPI_PRELOAD},
            {"TQV_FAKE_HIDAPI_LOG", hidLog_},
            {"TQV_FAKE_HIDAPI_OPEN", hidOpens ? "1" : "0"},
            // The sanitizer runtime need not come first when the hidapi stand-in is preloaded.
            {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1"},
        };
    }

    bool StartMonitor(ChildProcess& process, const std::vector<std::string>& ports, bool hidOpens,
                      const std::string& output = {}) {
        std::vector<std::string> args{"--headless"};
        for (const auto& p : ports) args.insert(args.end(), {"--port", p});
        return process.Start(folder_->Executable(), args, Environment(hidOpens),
                             output.empty() ? output_ : output);
    }

    bool StartEmulator(EmulatorProcess& emulator) {
        return emulator.Start(TQV_DISPLAY_EMULATOR, {});
    }

    std::unique_ptr<PortableFolder> folder_;
    std::string hidLog_;
    std::string output_;
};

TEST_F(HeadlessTest, SerialDisplayReceivesTheRotationInUnitAndOrientationFromTheSettings) {
    // Fahrenheit, fastest pace, orientation 1; CPU temperature, CPU clock and GPU temperature.
    WriteFileText(folder_->SettingsFile(),
                  SettingsText(0, 2, 1, {1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
    EmulatorProcess emulator;
    ASSERT_TRUE(StartEmulator(emulator));
    ChildProcess monitor;
    ASSERT_TRUE(StartMonitor(monitor, {emulator.path()}, true));

    ASSERT_TRUE(emulator.WaitForLine([](auto& l) { return l.find("cmd=handshake") != l.npos; },
                                     5s));
    // Each show frame with the moment it arrived (frames come a second or more apart).
    std::vector<std::pair<std::string, Clock::time_point>> shown;
    for (std::size_t k = 1; k <= 4; ++k) {
        auto lines = emulator.WaitForLines("FRAME cmd=show", k, 8s);
        ASSERT_EQ(lines.size(), k) << "only " << lines.size() << " frames arrived";
        shown.emplace_back(lines[k - 1], Clock::now());
    }

    struct Expected {
        const char* device;
        const char* kind;
        const char* value;
    } expected[] = {{"cpu", "2", "113"}, {"cpu", "0", "3600"}, {"gpu", "2", "122"},
                    {"cpu", "2", "113"}};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(shown[i].first);
        EXPECT_EQ(Field(shown[i].first, "cmd"), "show");
        EXPECT_EQ(Field(shown[i].first, "device"), expected[i].device);
        EXPECT_EQ(Field(shown[i].first, "kind"), expected[i].kind);
        EXPECT_EQ(Field(shown[i].first, "value"), expected[i].value);
        EXPECT_EQ(Field(shown[i].first, "orientation"), "1");
    }

    // The first cycle begins two seconds after the start; at the fastest pace each cycle sends
    // one frame, except the step that finds nothing above the GPU temperature and starts over.
    const double first = Seconds(shown[0].second - monitor.started());
    EXPECT_GE(first, 1.9);
    EXPECT_LT(first, 4.0);
    const double gap1 = Seconds(shown[1].second - shown[0].second);
    const double gap3 = Seconds(shown[3].second - shown[2].second);
    EXPECT_GT(gap1, 0.7);
    EXPECT_LT(gap1, 1.8);
    EXPECT_GT(gap3, 1.7);
    EXPECT_LT(gap3, 3.0);

    // With a serial display confirmed, the HID display is never opened.
    EXPECT_TRUE(LogLines(hidLog_, "open").empty());

    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitForExit(3s), 0);
}

struct PaceCase {
    int speed;
    double firstAfter;  // seconds from the start to the first frame
    double gap;         // seconds between frames

    friend void PrintTo(const PaceCase& c, std::ostream* os) { *os << "speed " << c.speed; }
};

class HeadlessPaceTest : public HeadlessTest, public ::testing::WithParamInterface<PaceCase> {};

TEST_P(HeadlessPaceTest, FramesArriveAtThePaceOfTheSpeed) {
    const PaceCase pace = GetParam();
    WriteFileText(folder_->SettingsFile(),
                  SettingsText(1, pace.speed, 0, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EmulatorProcess emulator;
    ASSERT_TRUE(StartEmulator(emulator));
    ChildProcess monitor;
    ASSERT_TRUE(StartMonitor(monitor, {emulator.path()}, false));

    auto isShow = [](const std::string& l) { return l.find("cmd=show") != l.npos; };
    auto first = emulator.WaitForLine(isShow, std::chrono::milliseconds(
                                                  static_cast<int>(pace.firstAfter * 1000) + 3000));
    ASSERT_TRUE(first);
    const auto firstAt = Clock::now();
    EXPECT_EQ(Field(*first, "kind"), "1");  // the CPU temperature in Celsius
    EXPECT_EQ(Field(*first, "value"), "45");
    auto frames = emulator.WaitForLines("FRAME cmd=show", 2,
                                        std::chrono::milliseconds(
                                            static_cast<int>(pace.gap * 1000) + 3000));
    ASSERT_EQ(frames.size(), 2u);
    const auto secondAt = Clock::now();
    EXPECT_EQ(Field(frames[1], "kind"), "0");  // the CPU clock
    EXPECT_EQ(Field(frames[1], "value"), "3600");

    EXPECT_NEAR(Seconds(firstAt - monitor.started()), pace.firstAfter, 0.8);
    EXPECT_NEAR(Seconds(secondAt - firstAt), pace.gap, 0.8);
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitForExit(3s), 0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, HeadlessPaceTest,
                         ::testing::Values(PaceCase{2, 2.0, 1.0}, PaceCase{1, 4.0, 3.0}),
                         [](const auto& info) { return "Speed" + std::to_string(info.param.speed); });

TEST_F(HeadlessTest, WithoutSerialDisplayTheHidDisplayIsOpenedThenFedEveryCycle) {
    ChildProcess monitor;
    ASSERT_TRUE(StartMonitor(monitor, {}, true));

    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(LogLines(hidLog_, "open").empty()) << "opened before the first cycle";

    const auto deadline = Clock::now() + 6s;
    while (LogLines(hidLog_, "write").size() < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    auto opens = LogLines(hidLog_, "open");
    auto writes = LogLines(hidLog_, "write");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0], "open 5131 2007");
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], kExpectedReport);

    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitForExit(3s), 0);
    // The stop sequence closes the device and shuts the library down.
    auto all = ReadFileText(hidLog_);
    EXPECT_NE(all.find("close\nexit\n"), std::string::npos) << all;
}

TEST_F(HeadlessTest, SerialDisplayFoundByALaterRebuildTakesOverFromTheHidDisplay) {
    WriteFileText(folder_->SettingsFile(),
                  SettingsText(1, 2, 0, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const std::string link = folder_->Root() + "/display";
    ChildProcess monitor;
    ASSERT_TRUE(StartMonitor(monitor, {link}, false));

    // No display behind the named port yet: the HID path tries to open its device each cycle.
    auto deadline = Clock::now() + 6s;
    while (LogLines(hidLog_, "open").size() < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_GE(LogLines(hidLog_, "open").size(), 2u);

    // The display appears; the rebuild (SIGUSR1, the headless rebuild command) finds it.
    EmulatorProcess emulator;
    ASSERT_TRUE(StartEmulator(emulator));
    std::filesystem::create_symlink(emulator.path(), link);
    monitor.Signal(SIGUSR1);
    ASSERT_TRUE(emulator.WaitForLine([](auto& l) { return l.find("cmd=handshake") != l.npos; },
                                     5s));
    ASSERT_TRUE(emulator.WaitForLine([](auto& l) { return l.find("cmd=show") != l.npos; }, 4s));
    const auto opensAfterTakeOver = LogLines(hidLog_, "open").size();
    emulator.WaitForLines("FRAME cmd=show", 3, 4s);
    EXPECT_EQ(LogLines(hidLog_, "open").size(), opensAfterTakeOver);

    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitForExit(3s), 0);
}

TEST_F(HeadlessTest, SecondStartWakesTheFirstAndEnds) {
    ChildProcess first;
    ASSERT_TRUE(StartMonitor(first, {}, false));
    std::this_thread::sleep_for(1000ms);

    ChildProcess second;
    ASSERT_TRUE(StartMonitor(second, {}, false, folder_->Root() + "/second.log"));
    EXPECT_EQ(second.WaitForExit(3s), 0);
    EXPECT_TRUE(first.Running());

    const auto deadline = Clock::now() + 3s;
    while (ReadFileText(output_).find("already running") == std::string::npos &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(ReadFileText(output_).find("already running"), std::string::npos);
    EXPECT_EQ(ReadFileText(folder_->Root() + "/second.log"), "");

    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(3s), 0);
}

TEST_F(HeadlessTest, StartAfterACrashRunsAsFirstInstance) {
    ChildProcess crashed;
    ASSERT_TRUE(StartMonitor(crashed, {}, false));
    std::this_thread::sleep_for(800ms);
    crashed.Signal(SIGKILL);
    ASSERT_TRUE(crashed.WaitForExit(3s));

    ChildProcess next;
    ASSERT_TRUE(StartMonitor(next, {}, false));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(next.Running()) << ReadFileText(output_);
    next.Signal(SIGTERM);
    EXPECT_EQ(next.WaitForExit(3s), 0);
}

TEST_F(HeadlessTest, SigtermStopsWithinASecondAndWritesNothing) {
    ChildProcess monitor;
    ASSERT_TRUE(StartMonitor(monitor, {}, false));
    // Let the first start create its settings, then run a few cycles.
    std::this_thread::sleep_for(3500ms);
    const std::string before = ReadFileText(folder_->SettingsFile());
    ASSERT_NE(before.find("[VELKRAN SETTINGS]"), std::string::npos);

    const auto signalled = Clock::now();
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitForExit(3s), 0);
    EXPECT_LT(Seconds(Clock::now() - signalled), 1.2);
    EXPECT_EQ(ReadFileText(folder_->SettingsFile()), before);
}

}  // namespace
}  // namespace tqv::test
