// Test helper: the display emulator as a child process, with its standard output read line by
// line under a deadline. Every wait is bounded; the destructor kills a child that is still there.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
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

    // Starts `program` with `args` and reads the first line, the pseudo-terminal's path. A
    // safety --idle-exit is added unless the arguments name one, so that no emulator outlives
    // a test that died. False when it did not start or printed no path within `timeout`.
    bool Start(const std::string& program, std::vector<std::string> args,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (std::find(args.begin(), args.end(), "--idle-exit") == args.end()) {
            args.insert(args.end(), {"--idle-exit", "60000"});
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            pid_ = -1;
            return false;
        }
        out_ = fds[0];
        auto first = NextLine(Clock::now() + timeout);
        if (!first) return false;
        path_ = *first;
        return true;
    }

    const std::string& path() const { return path_; }
    pid_t pid() const { return pid_; }

    // Waits for a line that satisfies `match` (lines before it are kept in Lines()).
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (std::size_t i = 0;; ++i) {
            while (i >= lines_.size()) {
                if (!ReadMore(deadline)) return std::nullopt;
            }
            if (match(lines_[i])) return lines_[i];
        }
    }

    // Waits until `count` lines starting with `prefix` have arrived; returns them (fewer when
    // the time ran out).
    std::vector<std::string> WaitForLines(const std::string& prefix, std::size_t count,
                                          std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            auto found = LinesStartingWith(prefix);
            if (found.size() >= count || !ReadMore(deadline)) return found;
        }
    }

    // Every line read so far after the path.
    const std::vector<std::string>& Lines() const { return lines_; }

    std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : lines_) {
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        }
        return out;
    }

    // Reads whatever the emulator prints for `duration` (to check that nothing more comes).
    void Drain(std::chrono::milliseconds duration) {
        const auto deadline = Clock::now() + duration;
        while (ReadMore(deadline)) {
        }
    }

    // Waits for the emulator to end by itself (hang-up, idle exit): reads its output to the end
    // and reaps it. The exit status, or nothing when it is still running at the deadline.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!eof_ && ReadMore(deadline)) {
        }
        return Reap(deadline);
    }

    // SIGTERM, then waits for the exit as above.
    std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        return WaitForExit(timeout);
    }

    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }

private:
    std::optional<int> Reap(Clock::time_point deadline) {
        if (pid_ <= 0) return exitStatus_;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitStatus_;
            }
            if (r < 0 || Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::optional<std::string> NextLine(Clock::time_point deadline) {
        const std::size_t before = lines_.size();
        while (lines_.size() == before) {
            if (!ReadMore(deadline)) return std::nullopt;
        }
        std::string line = lines_[before];
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(before));
        return line;
    }

    // Reads one chunk into complete lines. False at the deadline or at the end of the output.
    bool ReadMore(Clock::time_point deadline) {
        if (out_ < 0 || eof_) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (r <= 0) return r < 0 && errno == EINTR;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        partial_.append(buffer, static_cast<std::size_t>(n));
        for (auto nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n')) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string path_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::optional<int> exitStatus_;
};

}  // namespace tqv::test
