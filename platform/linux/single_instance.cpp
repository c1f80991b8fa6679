#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tqv::platform {
namespace {

// A runtime folder is usable when it is a real directory owned by us and closed to others.
bool UsableFolder(const std::string& folder) {
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

std::string RuntimeFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/' && UsableFolder(xdg)) return xdg;
    std::string fallback = "/tmp/tarquelonvist-" + std::to_string(::getuid());
    ::mkdir(fallback.c_str(), 0700);
    return UsableFolder(fallback) ? fallback : std::string();
}

std::string SessionKey(const std::string& requested) {
    std::string key = requested;
    if (key.empty()) {
        const char* id = std::getenv("XDG_SESSION_ID");
        key = (id && id[0]) ? id : "default";
    }
    for (char& c : key) {
        if (c == '/' || c == '\0') c = '_';
    }
    return key;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

SingleInstance::SingleInstance(std::string folder, std::string session) {
    if (folder.empty()) folder = RuntimeFolder();
    if (folder.empty()) return;
    std::string base = folder + "/tarquelonvist." + SessionKey(session);
    lockPath_ = base + ".lock";
    socketPath_ = base + ".sock";
}

SingleInstance::~SingleInstance() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Role SingleInstance::Acquire() {
    if (lockPath_.empty()) return Role::Failed;
    lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) return Role::Failed;
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        lockFd_ = -1;
        return errno == EWOULDBLOCK ? Role::Second : Role::Failed;
    }

    // We hold the mark, so any socket file left here belongs to an instance that has ended.
    sockaddr_un address{};
    if (!FillAddress(socketPath_, address)) return Role::First;
    ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ >= 0 &&
        (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
         ::listen(listenFd_, 8) != 0)) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    // Without a channel the instance still runs; it just cannot be woken.
    return Role::First;
}

bool SingleInstance::WakeFirstInstance() {
    sockaddr_un address{};
    if (socketPath_.empty() || !FillAddress(socketPath_, address)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = false;
    // A local connect either succeeds at once or fails at once; the send is a few bytes into
    // an empty socket buffer, so neither can block for long.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string message = std::string(kWakeUpText) + "\n";
        ok = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(message.size());
    }
    ::close(fd);
    return ok;
}

bool SingleInstance::TakeWakeUps() {
    if (listenFd_ < 0) return false;
    bool woken = false;
    for (;;) {
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) break;
        // The knocker has already written its text; wait briefly for it to arrive.
        pollfd p{client, POLLIN, 0};
        char buffer[64] = {};
        if (::poll(&p, 1, 200) > 0) {
            ssize_t n = ::recv(client, buffer, sizeof buffer - 1, MSG_DONTWAIT);
            if (n > 0 && std::strncmp(buffer, kWakeUpText, std::strlen(kWakeUpText)) == 0) {
                woken = true;
            }
        }
        ::close(client);
    }
    return woken;
}

}  // namespace tqv::platform
