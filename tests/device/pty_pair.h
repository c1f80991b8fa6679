// Test helper: a pseudo-terminal pair made in the test process itself. The controller side plays
// the device; a descriptor of the terminal side is kept open (raw) so that the pair survives
// while ports are opened and closed on it.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace tqv::test {

class PtyPair {
  public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        const char* name = ::ptsname(master_);
        if (name == nullptr)
            return;
        path_ = name;
        keep_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (keep_ >= 0 && ::tcgetattr(keep_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(keep_, TCSANOW, &tio);
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseController();
        if (keep_ >= 0)
            ::close(keep_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && keep_ >= 0 && !path_.empty(); }
    const std::string& path() const { return path_; }
    int controller() const { return master_; }
    int terminal() const { return keep_; }

    // Hangs the line up, as an unplugged USB device does.
    void CloseController() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // What the controller side has received so far (nothing blocks).
    std::string Received() {
        std::string out;
        char buffer[256];
        ssize_t n;
        while (master_ >= 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    int master_ = -1;
    int keep_ = -1;
    std::string path_;
};

}  // namespace tqv::test
