// Test helper: the display emulator as a child process, its standard output read line by line
// by a thread of its own. Every wait is bounded; the destructor kills a child that is still there.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tqv::test {

#ifdef TQV_DISPLAY_EMULATOR
inline constexpr const char* kEmulatorPath = TQV_DISPLAY_EMULATOR;
#endif

class EmulatorProcess {
  public:
    using Clock = std::chrono::steady_clock;

    EmulatorProcess() = default;
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;
    ~EmulatorProcess() { Kill(); }

    // Starts `program` with `args` and waits for the first line, the pseudo-terminal's path. A
    // safety --idle-exit is put first unless the arguments name one, so that no emulator
    // outlives a test that died. A thread reads the output all the time, so an emulator that
    // prints a lot never stalls on a full pipe. False when it did not start or printed no line
    // within `timeout`.
    bool Start(const std::string& program, std::vector<std::string> args,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (std::find(args.begin(), args.end(), "--idle-exit") == args.end()) {
            args.insert(args.begin(), {"--idle-exit", "60000"});
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            pid_ = -1;
            return false;
        }
        reader_ = std::thread([this, fd = fds[0]] { ReadAll(fd); });
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [this] { return !lines_.empty() || eof_; }) ||
            lines_.empty()) {
            return false;
        }
        path_ = lines_.front();
        lines_.erase(lines_.begin());
        return true;
    }

    const std::string& path() const { return path_; }
    pid_t pid() const { return pid_; }

    // Waits for a line that satisfies `match`.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const auto& l : lines_) {
                if (match(l)) {
                    found = l;
                    return true;
                }
            }
            return eof_;
        });
        return found;
    }

    // Waits until `count` lines starting with `prefix` have arrived; returns them (fewer when
    // the time ran out or the emulator ended).
    std::vector<std::string> WaitForLines(const std::string& prefix, std::size_t count,
                                          std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return eof_ || Matching(prefix).size() >= count; });
        return Matching(prefix);
    }

    // Every line so far after the path.
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        return Matching(prefix);
    }

    // Lets the emulator print for `duration` (to check that nothing more comes).
    void Drain(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, duration, [this] { return eof_; });
    }

    // Waits for the emulator to end by itself (hang-up, idle exit): its output to the end, then
    // its exit status; nothing when it is still running at the deadline.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_until(lock, deadline, [this] { return eof_; }))
                return std::nullopt;
        }
        return Reap(deadline);
    }

    // SIGTERM, then waits for the exit as above.
    std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        return WaitForExit(timeout);
    }

    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        // The output ends with the process.
        if (reader_.joinable())
            reader_.join();
    }

  private:
    std::vector<std::string> Matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : lines_) {
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        }
        return out;
    }

    std::optional<int> Reap(Clock::time_point deadline) {
        if (pid_ <= 0)
            return exitStatus_;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitStatus_;
            }
            if (r < 0 || Clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The reader thread: lines until the end of the output.
    void ReadAll(int fd) {
        std::string partial;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            partial.append(buffer, static_cast<std::size_t>(n));
            std::lock_guard lock(mutex_);
            for (auto nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n')) {
                lines_.push_back(partial.substr(0, nl));
                partial.erase(0, nl + 1);
            }
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        eof_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    std::string path_;
    std::optional<int> exitStatus_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

}  // namespace tqv::test
