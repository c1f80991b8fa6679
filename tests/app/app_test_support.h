// Helpers for the application-core tests: a temporary folder, scoped environment variables,
// whole-file reads and writes, and running a real process with a bounded wait.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "tests/support/scoped_env.h"

namespace tqv::testing {

using test::ScopedEnv;

// The sixteen keys a first start writes, with their defaults, in file order.
inline constexpr char kDefaultKeyLines[] =
    "TEMPERATURE=1\n"
    "ATUO START=1\n"
    "TFT_CTEMP=1\n"
    "TFT_CFREQ=1\n"
    "TFT_CTRPM=1\n"
    "TFT_CPOWER=1\n"
    "TFT_CLOAD=1\n"
    "TFT_GTEMP=1\n"
    "TFT_GFREQ=1\n"
    "TFT_GTRPM=1\n"
    "TFT_GPOWER=1\n"
    "TFT_GLOAD=1\n"
    "TFT_OPEN=1\n"
    "TFT_SPEED=0\n"
    "TFT_ANIMATION=1\n"
    "TFT_TURN=0\n";

// The whole file a first start writes.
inline const std::string kDefaultSettingsFile = std::string("[VELKRAN SETTINGS]\n") + kDefaultKeyLines;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tqv-app-XXXXXX").string();
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) != nullptr) {
            path_ = std::filesystem::canonical(name.data()).string();
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct ProcessResult {
    bool finished = false;  // false: it ran past the time limit and was killed
    int exitCode = -1;      // the exit status, or -1 when it did not exit normally
    std::string output;     // what it wrote to standard output
};

// Runs `argv` with `env` added to (or, for an empty value, removed from) this process's
// environment, and waits at most `limit` for it to end.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const std::map<std::string, std::string>& env,
                                std::chrono::milliseconds limit) {
    ProcessResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);

    // Read until the output closes and the process has ended. Once it has ended, a process it
    // left behind may still hold the output open: give that a short grace, not the whole limit.
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool open = true;
    bool reaped = false;
    int status = 0;
    while ((open || !reaped) && std::chrono::steady_clock::now() < deadline) {
        if (open) {
            pollfd pfd{pipeFds[0], POLLIN, 0};
            if (::poll(&pfd, 1, 20) > 0) {
                char buffer[4096];
                ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                if (n > 0) {
                    result.output.append(buffer, static_cast<std::size_t>(n));
                } else {
                    open = false;
                }
            }
        } else {
            ::usleep(10'000);
        }
        if (!reaped && ::waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            deadline = std::min(deadline,
                                std::chrono::steady_clock::now() + std::chrono::milliseconds(1000));
        }
    }
    ::close(pipeFds[0]);
    if (!reaped) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return result;
    }
    result.finished = true;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

}  // namespace tqv::testing
