// Fixture machines for the sensor library tests: a copy of one of the trees under
// tests/sdk/fixtures/ (sys/, proc/, etc/sensors3.conf, etc/nvml-scenario) that a test may change,
// put in place of the real system.
//
// libsensors reads /sys/class/hwmon and the chips' device links itself and checks that /sys is
// a sysfs mount, so no variable can redirect it: MountOverSystem() enters a private mount
// namespace (root only) and binds the copy's class, devices, bus, block and firmware folders over
// those of /sys, and its sensors3.conf over /etc/sensors3.conf. Without that, UseSysfsRoot() points
// the library's own readers at the copy through TQV_SYSFS_ROOT, for tests that need no hwmon.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include "tests/support/scoped_env.h"

namespace tqv::test {

namespace fs = std::filesystem;

// Overwrites a file in place, as sysfs values change: a reader that keeps the file open sees
// the new content.
inline void OverwriteFile(const fs::path& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

inline std::string ReadFile(const fs::path& path) {
    std::string content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return content;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, got);
    ::close(fd);
    return content;
}

class FixtureMachine {
  public:
    explicit FixtureMachine(const std::string& name) {
        std::string pattern = (fs::temp_directory_path() / "tqv-sdk-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            return;
        root_ = pattern;
        fs::copy(fs::path(TQV_SDK_FIXTURES) / name, root_,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (const char* folder : kSysFolders)
            fs::create_directories(root_ / "sys" / folder);
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        SetClockUs(1000000);
        env_.emplace_back(
            std::make_unique<ScopedEnv>("TQV_PROCFS_ROOT", (root_ / "proc").string()));
        env_.emplace_back(
            std::make_unique<ScopedEnv>("TQV_SDK_CLOCK_FILE", (root_ / "clock").string()));
        env_.emplace_back(std::make_unique<ScopedEnv>("TQV_NVML_LIBRARY", TQV_FAKE_NVML));
        env_.emplace_back(std::make_unique<ScopedEnv>("TQV_FAKE_NVML_SCENARIO",
                                                      (root_ / "etc" / "nvml-scenario").string()));
        env_.emplace_back(std::make_unique<ScopedEnv>("TQV_SYSFS_ROOT", nullptr));
        env_.emplace_back(std::make_unique<ScopedEnv>("TQV_ETC_ROOT", nullptr));
    }

    ~FixtureMachine() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
            ::umount2(it->c_str(), MNT_DETACH);
        }
        while (!env_.empty())
            env_.pop_back();  // newest first, so each restores what it found
        std::error_code ec;
        if (!root_.empty())
            fs::remove_all(root_, ec);
    }

    FixtureMachine(const FixtureMachine&) = delete;
    FixtureMachine& operator=(const FixtureMachine&) = delete;

    // Puts the copy in place of /sys (and sensors3.conf) inside a private mount namespace.
    // Empty on success, otherwise why it could not be done.
    std::string MountOverSystem() {
        if (root_.empty())
            return "no temporary folder";
        if (::geteuid() != 0)
            return "mounting a fixture over /sys needs root";
        if (::unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS) refused: ") + std::strerror(errno);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("making / private refused: ") + std::strerror(errno);
        }
        for (const char* folder : kSysFolders) {
            std::string target = std::string("/sys/") + folder;
            if (auto failure = Bind(root_ / "sys" / folder, target); !failure.empty()) {
                return failure;
            }
        }
        fs::path config = root_ / "etc" / "sensors3.conf";
        if (fs::exists("/etc/sensors3.conf") && Bind(config, "/etc/sensors3.conf").empty()) {
            if (fs::is_directory("/etc/sensors.d")) {
                fs::create_directories(root_ / "etc" / "sensors.d");
                Bind(root_ / "etc" / "sensors.d", "/etc/sensors.d");
            }
        } else {
            env_.emplace_back(
                std::make_unique<ScopedEnv>("TQV_ETC_ROOT", (root_ / "etc").string()));
        }
        return {};
    }

    // Points the library's own readers at the copy's sys/ (hwmon stays the real one).
    void UseSysfsRoot() {
        env_.emplace_back(std::make_unique<ScopedEnv>("TQV_SYSFS_ROOT", (root_ / "sys").string()));
    }

    // The path of a file in the copy, e.g. Path("sys/class/hwmon/hwmon1/temp1_input").
    fs::path Path(const std::string& relative) const { return root_ / relative; }
    const fs::path& Root() const { return root_; }

    void Write(const std::string& relative, const std::string& content) {
        OverwriteFile(Path(relative), content);
    }

    void SetClockUs(std::int64_t us) {
        clockUs_ = us;
        OverwriteFile(root_ / "clock", std::to_string(us) + "\n");
    }
    void AdvanceClockUs(std::int64_t us) { SetClockUs(clockUs_ + us); }

    // Rewrites /proc/stat's aggregate line: user, nice, system, idle, iowait, irq, softirq.
    void WriteCpuStat(std::uint64_t user, std::uint64_t system, std::uint64_t idle) {
        Write("proc/stat", "cpu  " + std::to_string(user) + " 0 " + std::to_string(system) + " " +
                               std::to_string(idle) + " 0 0 0 0 0 0\nintr 1 2 3\n");
    }

  private:
    static constexpr const char* kSysFolders[] = {"class", "devices", "bus", "block", "firmware"};

    std::string Bind(const fs::path& source, const std::string& target) {
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return "bind mount over " + target + " refused: " + std::strerror(errno);
        }
        mounts_.push_back(target);
        return {};
    }

    fs::path root_;
    std::int64_t clockUs_ = 0;
    std::vector<std::string> mounts_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// Skips the test, with the reason, when the fixture cannot be put over the system.
#define TQV_MOUNT_FIXTURE_OR_SKIP(machine)                                                 \
    do {                                                                                   \
        std::string failure_ = (machine).MountOverSystem();                                \
        if (!failure_.empty()) {                                                           \
            GTEST_SKIP() << "libsensors needs the fixture mounted over /sys in a private " \
                            "mount namespace (as root): "                                  \
                         << failure_;                                                      \
        }                                                                                  \
    } while (0)

}  // namespace tqv::test
