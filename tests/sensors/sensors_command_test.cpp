// `tarquelonvist --sensors` run as a real process from a folder of its own, without a sensor
// library and with the scripted one installed beside it as cpuidsdk.so. The system's trees are
// small fixtures, so the whole output is known.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/sensors/sensor_test_support.h"

extern char** environ;

namespace tqv {
namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` and the environment changed by `env`; kills it after `limit`.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& outputFolder,
                     std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (!env.count(entry.substr(0, entry.find('='))))
            environment.push_back(entry);
    }
    for (const auto& [name, value] : env)
        environment.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = args;
    arguments.insert(arguments.begin(), program);
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::string outPath = outputFolder + "/stdout", errPath = outputFolder + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    RunResult result;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << program;
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << program << " did not end within " << limit.count() << " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = test::ReadFile(outPath);
    result.err = test::ReadFile(errPath);
    return result;
}

class SensorsCommandTest : public ::testing::Test {
  protected:
    SensorsCommandTest() {
        std::filesystem::create_directories(tmp_.path() / "app");
        std::filesystem::create_directories(tmp_.path() / "sys");
        std::filesystem::create_directories(tmp_.path() / "proc");
        std::filesystem::create_directories(tmp_.path() / "etc");
        std::filesystem::copy_file(TQV_PORTABLE_DIR "/tarquelonvist", Program());
        env_ = {{"TQV_SYSFS_ROOT", tmp_ / "sys"},
                {"TQV_PROCFS_ROOT", tmp_ / "proc"},
                {"TQV_ETC_ROOT", tmp_ / "etc"},
                {"TQV_PCI_IDS", tmp_ / "pci.ids"},
                {"TQV_SCRIPTED_SDK_SCENARIO", tmp_ / "scenario.txt"},
                {"XDG_CONFIG_HOME", tmp_ / "config"},
                {"HOME", tmp_ / "home"}};
    }

    std::string Program() const { return tmp_ / "app/tarquelonvist"; }

    RunResult Sensors(bool json) {
        std::vector<std::string> args = {"--sensors"};
        if (json)
            args.push_back("--json");
        return RunProgram(Program(), args, env_, tmp_.path().string());
    }

    void InstallScriptedLibrary() {
        std::filesystem::copy_file(TQV_SCRIPTED_SDK, tmp_ / "app/cpuidsdk.so");
        test::WriteFile(tmp_ / "scenario.txt",
                        "memtext Kingston \"Fury\"\n"
                        "memmb 16384\n"
                        "memkind 10\n"
                        "device 4 Ryzen \"7\" \\ back\ttab\n"
                        "sensor 0x2000 45.5\n"
                        "sensor 0xF000 4200 1\n"
                        "sensor 0x5000 65.25\n"
                        "sensor 0xE000 12 0.5\n"
                        "device 1024 B550 \xFF board\n"
                        "sensor 0x3000 900\n"
                        "device 32 Radeon \xC2\xB0 RX\n"
                        "sensor 0x2000 nan\n"
                        "sensor 0xF000 2100\n"
                        "sensor 0x3000 1200\n"
                        "sensor 0x5000 150\n"
                        "sensor 0xE000 99.5\n"
                        "device 16 Samsung SSD 980\n"
                        "sensor 0x2000 38\n");
        test::WriteFile(tmp_ / "etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
        test::WriteFile(tmp_ / "proc/asound/cards",
                        " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n"
                        "                      HDA Intel PCH at 0xf7f10000 irq 32\n");
    }

    test::TempDir tmp_;
    std::map<std::string, std::string> env_;
};

TEST_F(SensorsCommandTest, WithoutLibraryPrintsEmptyValuesAndSucceeds) {
    RunResult text = Sensors(false);
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out,
              "CPU             \n"
              "Mainboard       \n"
              "RAM             \n"
              "Disk Drive      \n"
              "Graphics Card   \n"
              "Sound Card      \n"
              "Network Card    \n"
              "System Version  \t\n"
              "\n"
              "cpuTempC        0.0 \xC2\xB0"
              "C\n"
              "cpuClockMhz     0.0 MHz\n"
              "cpuFanRpm       0.0 RPM\n"
              "cpuPowerW       0.0 W\n"
              "cpuLoadPct      0.0 %\n"
              "gpuTempC        0.0 \xC2\xB0"
              "C\n"
              "gpuClockMhz     0.0 MHz\n"
              "gpuFanRpm       0.0 RPM\n"
              "gpuPowerW       0.0 W\n"
              "gpuLoadPct      0.0 %\n");

    RunResult json = Sensors(true);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"inventory\": {\"CPU\": \"\", \"Mainboard\": \"\", \"RAM\": \"\", "
              "\"Disk Drive\": \"\", \"Graphics Card\": \"\", \"Sound Card\": \"\", "
              "\"Network Card\": \"\", \"System Version\": \"\\t\"}, "
              "\"readings\": {\"cpuTempC\": 0, \"cpuClockMhz\": 0, \"cpuFanRpm\": 0, "
              "\"cpuPowerW\": 0, \"cpuLoadPct\": 0, \"gpuTempC\": 0, \"gpuClockMhz\": 0, "
              "\"gpuFanRpm\": 0, \"gpuPowerW\": 0, \"gpuLoadPct\": 0}}\n");
}

TEST_F(SensorsCommandTest, BrokenLibraryFileStillSucceeds) {
    test::WriteFile(tmp_ / "app/cpuidsdk.so", "not a shared object");
    RunResult json = Sensors(true);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find("\"cpuTempC\": 0,"), std::string::npos) << json.out;
}

// The load and clock sensors grow with every update: the printed values show that both passes
// ran, in the order load, clock, fan, power, temperature (the bind's update is the first; the
// second pass refreshes load at update 7 and clock at update 8).
TEST_F(SensorsCommandTest, WithScriptedLibraryPrintsInventoryAndReadings) {
    InstallScriptedLibrary();
    RunResult text = Sensors(false);
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out,
              "CPU             Ryzen \"7\" \\ back\ttab\n"
              "Mainboard       B550 \xFF board\n"
              "RAM             Kingston \"Fury\" 16 GB DDR4\n"
              "Disk Drive      Samsung SSD 980\n"
              "Graphics Card   Radeon \xC2\xB0 RX\n"
              "Sound Card      HDA Intel PCH at 0xf7f10000 irq 32\n"
              "Network Card    \n"
              "System Version  Debian GNU/Linux\t12\n"
              "\n"
              "cpuTempC        45.5 \xC2\xB0"
              "C\n"
              "cpuClockMhz     4208.0 MHz\n"
              "cpuFanRpm       900.0 RPM\n"
              "cpuPowerW       65.2 W\n"
              "cpuLoadPct      15.5 %\n"
              "gpuTempC        nan \xC2\xB0"
              "C\n"
              "gpuClockMhz     2100.0 MHz\n"
              "gpuFanRpm       1200.0 RPM\n"
              "gpuPowerW       150.0 W\n"
              "gpuLoadPct      99.5 %\n");

    RunResult json = Sensors(true);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"inventory\": {\"CPU\": \"Ryzen \\\"7\\\" \\\\ back\\ttab\", "
              "\"Mainboard\": \"B550 \xEF\xBF\xBD board\", "
              "\"RAM\": \"Kingston \\\"Fury\\\" 16 GB DDR4\", "
              "\"Disk Drive\": \"Samsung SSD 980\", \"Graphics Card\": \"Radeon \xC2\xB0 RX\", "
              "\"Sound Card\": \"HDA Intel PCH at 0xf7f10000 irq 32\", \"Network Card\": \"\", "
              "\"System Version\": \"Debian GNU/Linux\\t12\"}, "
              "\"readings\": {\"cpuTempC\": 45.5, \"cpuClockMhz\": 4208, \"cpuFanRpm\": 900, "
              "\"cpuPowerW\": 65.25, \"cpuLoadPct\": 15.5, \"gpuTempC\": null, "
              "\"gpuClockMhz\": 2100, \"gpuFanRpm\": 1200, \"gpuPowerW\": 150, "
              "\"gpuLoadPct\": 99.5}}\n");
}

}  // namespace
}  // namespace tqv
