// Test helper: `tarquelonvist --headless` as a child process run from a portable folder of its
// own (the executable and a sensor library copied into a temporary folder, with its own home,
// configuration and runtime folders). Every wait is bounded; the destructor kills what is left.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tqv::test {

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A temporary folder laid out like an unpacked archive, with the user's folders beside it.
class PortableFolder {
public:
    PortableFolder(const std::string& executable, const std::string& sensorLibrary) {
        char pattern[] = "/tmp/tqv-headless-XXXXXX";
        root_ = ::mkdtemp(pattern);
        namespace fs = std::filesystem;
        fs::create_directories(App());
        fs::create_directories(Home());
        fs::create_directories(Sysfs());
        fs::create_directories(Runtime());
        fs::permissions(Runtime(), fs::perms::owner_all, fs::perm_options::replace);
        fs::copy_file(executable, App() + "/tarquelonvist");
        if (!sensorLibrary.empty()) fs::copy_file(sensorLibrary, App() + "/cpuidsdk.so");
    }
    ~PortableFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::string Root() const { return root_; }
    std::string App() const { return root_ + "/app"; }
    std::string Executable() const { return App() + "/tarquelonvist"; }
    std::string SettingsFile() const { return App() + "/Setting.ini"; }
    std::string Home() const { return root_ + "/home"; }
    std::string Sysfs() const { return root_ + "/sys"; }
    std::string Runtime() const { return root_ + "/run"; }

private:
    std::string root_;
};

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // Starts `program` with `args`, the environment `env` (added to a minimal one), and standard
    // output and error written to `outputPath`.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputPath) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

        std::vector<std::string> argStore{program};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);

        std::map<std::string, std::string> full{{"PATH", "/usr/bin:/bin"}};
        for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char* v = std::getenv(keep)) full[keep] = v;
        }
        for (const auto& [k, v] : env) full[k] = v;
        std::vector<std::string> envStore;
        for (const auto& [k, v] : full) envStore.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);

        started_ = Clock::now();
        int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    pid_t pid() const { return pid_; }
    Clock::time_point started() const { return started_; }
    bool Running() {
        Reap(false);
        return pid_ > 0;
    }

    void Signal(int signal) {
        if (pid_ > 0) ::kill(pid_, signal);
    }

    // Waits for the exit; the exit status (128 + signal for a signal), or nothing at the timeout.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (auto status = Reap(false)) return status;
            if (pid_ <= 0) return exitStatus_;
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    std::optional<int> Reap(bool block) {
        if (pid_ <= 0) return exitStatus_;
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (r != pid_) return std::nullopt;
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_;
    }

    pid_t pid_ = -1;
    Clock::time_point started_;
    std::optional<int> exitStatus_;
};

}  // namespace tqv::test
