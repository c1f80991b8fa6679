#include "platform/hotplug.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tqv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel's uevent broadcast group on NETLINK_KOBJECT_UEVENT (udev's own group is 2).
constexpr unsigned kKernelGroup = 1;
// Uevent messages are at most a few kilobytes (the kernel's buffer is 2 KiB of variables).
constexpr std::size_t kMessageCapacity = 8192;

}  // namespace

std::string Uevent::Value(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

bool ParseUevent(const char* data, std::size_t size, Uevent& out) {
    out = Uevent{};
    if (data == nullptr || size == 0)
        return false;
    // The header line runs to the first NUL; one without a NUL is cut off.
    const char* end = data + size;
    const char* headerEnd = static_cast<const char*>(std::memchr(data, '\0', size));
    if (headerEnd == nullptr)
        return false;
    const std::string header(data, headerEnd);
    const auto at = header.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= header.size() || header[at + 1] != '/') {
        return false;  // "libudev" messages and anything else of another shape
    }
    out.action = header.substr(0, at);
    out.devpath = header.substr(at + 1);

    const char* p = headerEnd + 1;
    while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\0', end - p));
        if (lineEnd == nullptr)
            lineEnd = end;
        const std::string line(p, lineEnd);
        const auto eq = line.find('=');
        if (eq != std::string::npos && eq > 0)
            out.values[line.substr(0, eq)] = line.substr(eq + 1);
        p = lineEnd + 1;
    }
    // The kernel repeats the header in ACTION and DEVPATH; a message that disagrees with itself
    // is not one of its own.
    const auto action = out.values.find("ACTION");
    const auto devpath = out.values.find("DEVPATH");
    if (action == out.values.end() || action->second != out.action)
        return false;
    if (devpath == out.values.end() || devpath->second != out.devpath)
        return false;
    return true;
}

UeventListener::~UeventListener() {
    Close();
}

bool UeventListener::Open() {
    Close();
    const int s =
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;  // let the kernel pick a unique port id
    address.nl_groups = kKernelGroup;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return false;
    }
    const int w = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w < 0) {
        ::close(s);
        return false;
    }
    socket_ = s;
    wake_ = w;
    return true;
}

void UeventListener::Close() {
    if (socket_ >= 0)
        ::close(socket_);
    if (wake_ >= 0)
        ::close(wake_);
    socket_ = -1;
    wake_ = -1;
}

void UeventListener::Interrupt() {
    if (wake_ < 0)
        return;
    const std::uint64_t one = 1;
    // The counter only grows; a full counter still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

UeventListener::WaitResult UeventListener::Wait(Uevent& out, std::chrono::milliseconds timeout) {
    if (socket_ < 0)
        return WaitResult::Error;
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    std::array<char, kMessageCapacity> buffer;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        std::array<pollfd, 2> fds{{{wake_, POLLIN, 0}, {socket_, POLLIN, 0}}};
        const int r = ::poll(fds.data(), fds.size(), waitMs);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Error;
        }
        // The wake-up is never consumed: once interrupted, the listener stays interrupted.
        if (fds[0].revents != 0)
            return WaitResult::Interrupted;
        if (r == 0)
            return WaitResult::Timeout;
        if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0) {
            return WaitResult::Error;
        }

        // Drain what is queued; hand back the first message that is the kernel's own.
        for (;;) {
            sockaddr_nl sender{};
            socklen_t senderSize = sizeof sender;
            const ssize_t n = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&sender), &senderSize);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                // ENOBUFS: the queue overflowed and events were lost; carry on with what
                // comes next.
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
                    break;
                return WaitResult::Error;
            }
            const auto size = static_cast<std::size_t>(n);
            if (size > buffer.size())
                continue;  // truncated: not a message we can trust
            if (senderSize < sizeof sender || sender.nl_family != AF_NETLINK ||
                sender.nl_pid != 0) {
                continue;  // not from the kernel
            }
            if (ParseUevent(buffer.data(), size, out))
                return WaitResult::Event;
        }
        if (Clock::now() >= deadline)
            return WaitResult::Timeout;
    }
}

}  // namespace tqv::platform
