// One monitor cycle's sensor work: five RefreshReadings (load, clock, fan, power, temperature)
// through the real binding and our sensor library, on the Intel and AMD fixture machines put in
// place of /sys inside a private mount namespace (so libsensors reads them). Cycles are spaced
// like the monitor's, far enough apart that every two-sample value is worked out afresh; only
// processor time counts. In the same run, bench/psutil_cycle.py reads the same values from the
// same fixture the way a psutil-based monitor does, and the ratio of the two costs is reported.
// The bare VM fixture is run as a reference: it reads next to nothing, so its figure shows what
// the machine itself costs a cycle that wakes from a sleep.
//
// Needs root (mount namespace). Run through bench/run-sensor-bench.sh.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sdk/sdk_interface.h"
#include "sensors/sensor_hub.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCycles = 40;
constexpr auto kCycleSpacing = std::chrono::milliseconds(110);
constexpr const char* kSysFolders[] = {"class", "devices", "bus", "block", "firmware"};

// A copy of a fixture machine, mounted over /sys and /etc/sensors3.conf.
class MountedFixture {
  public:
    explicit MountedFixture(const std::string& name) {
        std::string pattern = (fs::temp_directory_path() / "tqv-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            error_ = "no temporary folder";
            return;
        }
        root_ = pattern;
        fs::copy(fs::path(TQV_SOURCE_DIR) / "tests/sdk/fixtures" / name, root_,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (const char* folder : kSysFolders) {
            fs::create_directories(root_ / "sys" / folder);
            Bind(root_ / "sys" / folder, std::string("/sys/") + folder);
        }
        if (fs::exists("/etc/sensors3.conf")) {
            Bind(root_ / "etc/sensors3.conf", "/etc/sensors3.conf");
        } else {
            ::setenv("TQV_ETC_ROOT", (root_ / "etc").c_str(), 1);
        }
        if (fs::is_directory("/etc/sensors.d")) {
            fs::create_directories(root_ / "etc/sensors.d");
            Bind(root_ / "etc/sensors.d", "/etc/sensors.d");
        }
        ::setenv("TQV_PROCFS_ROOT", (root_ / "proc").c_str(), 1);
        ::setenv("TQV_NVML_LIBRARY", TQV_FAKE_NVML, 1);
        ::setenv("TQV_FAKE_NVML_SCENARIO", (root_ / "etc/nvml-scenario").c_str(), 1);
        ::unsetenv("TQV_SYSFS_ROOT");
        ::unsetenv("TQV_SDK_CLOCK_FILE");
    }
    ~MountedFixture() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
            ::umount2(it->c_str(), MNT_DETACH);
        }
        std::error_code ec;
        if (!root_.empty())
            fs::remove_all(root_, ec);
    }
    const std::string& Error() const { return error_; }
    const fs::path& Root() const { return root_; }

  private:
    void Bind(const fs::path& source, const std::string& target) {
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            if (error_.empty())
                error_ = "bind mount over " + target + ": " + std::strerror(errno);
            return;
        }
        mounts_.push_back(target);
    }

    fs::path root_;
    std::string error_;
    std::vector<std::string> mounts_;
};

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The psutil reader's processor time per cycle in µs, or a negative number when it failed.
double PsutilMicrosPerCycle(const MountedFixture& fixture, std::string& readings) {
    std::string command =
        std::string(fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3") +
        " '" TQV_SOURCE_DIR "/bench/psutil_cycle.py' --proc '" +
        (fixture.Root() / "proc").string() + "' --nvml '" TQV_FAKE_NVML "' --cycles " +
        std::to_string(kCycles) + " --interval 0.11";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string output;
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe))
        output += buffer.data();
    if (::pclose(pipe) != 0)
        return -1;
    auto key = output.find("\"cpu_us_per_cycle\": ");
    if (key == std::string::npos)
        return -1;
    auto at = output.find("\"readings\": ");
    if (at != std::string::npos)
        readings = output.substr(at + 12);
    return std::strtod(output.c_str() + key + 20, nullptr);
}

std::vector<std::string>& Summary() {
    static std::vector<std::string> lines;
    return lines;
}

void BM_SensorCycle(benchmark::State& state, const char* fixtureName) {
    MountedFixture fixture(fixtureName);
    if (!fixture.Error().empty()) {
        state.SkipWithError(
            ("needs root and a private mount namespace: " + fixture.Error()).c_str());
        return;
    }
    std::string ours;
    {
        tqv::SensorHub hub;
        if (!hub.BindSdk(TQV_PORTABLE_DIR "/", tqv::kSdkFileName)) {
            state.SkipWithError("cannot load cpuidsdk.so from " TQV_PORTABLE_DIR);
            return;
        }
        hub.CollectInventory();
        std::this_thread::sleep_for(kCycleSpacing);
        for (auto _ : state) {
            // The cycle's processor time, taken around the work alone exactly as the psutil
            // reader takes its own (process time, sleeps excluded), so that the two figures
            // compare like with like.
            const double started = ProcessCpuSeconds();
            for (std::int32_t kind : {SDK_SENSOR_LOAD, SDK_SENSOR_CLOCK, SDK_SENSOR_FAN,
                                      SDK_SENSOR_POWER, SDK_SENSOR_TEMPERATURE}) {
                hub.RefreshReadings(kind);
            }
            benchmark::DoNotOptimize(hub.readings);
            state.SetIterationTime(ProcessCpuSeconds() - started);
            std::this_thread::sleep_for(kCycleSpacing);
        }
        const auto& r = hub.readings;
        char text[512];
        std::snprintf(text, sizeof text,
                      "{cpuTempC %.1f, cpuClockMhz %.0f, cpuFanRpm %.0f, cpuPowerW %.1f, "
                      "cpuLoadPct %.1f, gpuTempC %.1f, gpuClockMhz %.0f, gpuFanRpm %.0f, "
                      "gpuPowerW %.1f, gpuLoadPct %.1f}",
                      r.cpuTempC, r.cpuClockMhz, r.cpuFanRpm, r.cpuPowerW, r.cpuLoadPct, r.gpuTempC,
                      r.gpuClockMhz, r.gpuFanRpm, r.gpuPowerW, r.gpuLoadPct);
        ours = text;
    }

    std::string psutilReadings;
    // TQV_BENCH_NO_PSUTIL=1 leaves the comparison out (for profiling our side alone).
    const char* noPsutil = std::getenv("TQV_BENCH_NO_PSUTIL");
    double psutilMicros =
        noPsutil && *noPsutil == '1' ? -1 : PsutilMicrosPerCycle(fixture, psutilReadings);
    state.counters["psutil_cpu_us_per_cycle"] = psutilMicros;
    // Our processor time per cycle is the benchmark's CPU time; the ratio is filled in below
    // once it is known.
    Summary().push_back(std::string(fixtureName) + "|" + std::to_string(psutilMicros) + "|" + ours +
                        "|" + psutilReadings);
}

// Prints the run's figures once the benchmarks have run.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            // The manual time is the cycles' processor time (see BM_SensorCycle), in µs.
            double cpuMicros = run.GetAdjustedRealTime();
            auto psutil = run.counters.find("psutil_cpu_us_per_cycle");
            if (psutil == run.counters.end())
                continue;
            double psutilMicros = psutil->second.value;
            char line[256];
            if (run.benchmark_name().find("bare-vm") != std::string::npos) {
                std::snprintf(line, sizeof line,
                              "%s: %.1f us CPU per cycle (reference: next to nothing to read); "
                              "psutil reader %.1f us",
                              run.benchmark_name().c_str(), cpuMicros, psutilMicros);
                figures_.push_back(line);
                continue;
            }
            std::snprintf(line, sizeof line,
                          "%s: %.1f us CPU per cycle (target <= 100); psutil reader %.1f us; "
                          "%.0fx cheaper (target >= 50)",
                          run.benchmark_name().c_str(), cpuMicros, psutilMicros,
                          psutilMicros > 0 ? psutilMicros / cpuMicros : 0.0);
            figures_.push_back(line);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nSensor cycle figures (processor time):\n");
        for (const auto& line : figures_)
            std::printf("  %s\n", line.c_str());
        std::printf("\nValues read (ours | psutil reader):\n");
        for (const auto& entry : Summary()) {
            auto a = entry.find('|');
            auto b = entry.find('|', a + 1);
            auto c = entry.find('|', b + 1);
            std::printf("  %s\n    ours:   %s\n    psutil: %s", entry.substr(0, a).c_str(),
                        entry.substr(b + 1, c - b - 1).c_str(), entry.substr(c + 1).c_str());
        }
        std::fflush(stdout);
    }

  private:
    std::vector<std::string> figures_;
};

}  // namespace

int main(int argc, char** argv) {
    // Everything below runs in a private mount namespace: the fixture mounts never reach the
    // rest of the system.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr,
                     "sensor_cycle_bench: needs root and a private mount namespace "
                     "(unshare(CLONE_NEWNS)) to put the fixture machines in place of /sys\n");
        return 77;
    }
    // The bare VM has almost nothing to read: its figure is the floor this machine puts under
    // any cycle (waking after a sleep, cold caches).
    for (const char* fixture : {"intel-desktop", "amd-desktop", "bare-vm"}) {
        benchmark::RegisterBenchmark((std::string("SensorCycle/") + fixture).c_str(),
                                     BM_SensorCycle, fixture)
            ->Iterations(kCycles)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
