// One running instance per user session, and the wake-up knock a second start sends to it.
//
// The mark is an advisory lock on a file in the user's runtime folder: the kernel drops it when
// the process ends in any way (including kill -9), so a start after a crash runs as a first
// instance. The wake-up channel is a Unix socket beside it; a second start connects, sends the
// wake-up text "TARQUELONVIST.exe" and ends without waiting for an answer. Both live in the
// user's own runtime folder (mode 0700), so another user's session is independent.
#pragma once

#include <string>

namespace tqv::platform {

class SingleInstance {
public:
    // `folder` overrides the runtime folder (tests); empty means $XDG_RUNTIME_DIR, or
    // /tmp/tarquelonvist-<uid> when that is not set. `session` separates sessions of one user;
    // empty means $XDG_SESSION_ID, or "default".
    explicit SingleInstance(std::string folder = {}, std::string session = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    enum class Role { First, Second, Failed };

    // Takes the mark. First: this process is the instance and listens for wake-ups. Second:
    // another instance holds the mark. Failed: neither could be established (no usable runtime
    // folder); the caller ends quietly.
    Role Acquire();

    // For a second instance: knocks on the first instance's channel. True when delivered.
    bool WakeFirstInstance();

    // For the first instance: a descriptor that becomes readable when a second start knocks.
    int WakeDescriptor() const { return listenFd_; }

    // Accepts every pending knock without blocking; true when at least one carried the wake-up
    // text.
    bool TakeWakeUps();

    const std::string& LockPath() const { return lockPath_; }

    static constexpr const char* kWakeUpText = "TARQUELONVIST.exe";

private:
    std::string lockPath_;
    std::string socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
};

}  // namespace tqv::platform
