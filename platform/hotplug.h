// Device hotplug: the kernel's uevents, read from its netlink broadcast. This needs no udev
// daemon; the events are the kernel's own ("add@/devices/...").
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace tqv::platform {

struct Uevent {
    std::string action;   // "add", "remove", "change", "bind", ...
    std::string devpath;  // "/devices/pci0000:00/.../1-2", below the sysfs root
    std::map<std::string, std::string> values;  // the KEY=value lines (ACTION, SUBSYSTEM, ...)

    // The value of `key`, or empty.
    std::string Value(const std::string& key) const;
};

// Parses one kernel uevent message: "action@devpath" then NUL-separated KEY=value lines. Messages
// of another shape (udev's own "libudev" messages, truncated or empty ones, one whose header and
// ACTION/DEVPATH lines disagree) give false. Never reads beyond `size`.
bool ParseUevent(const char* data, std::size_t size, Uevent& out);

class UeventListener {
  public:
    enum class WaitResult { Event, Timeout, Interrupted, Error };

    UeventListener() = default;
    ~UeventListener();
    UeventListener(const UeventListener&) = delete;
    UeventListener& operator=(const UeventListener&) = delete;

    // Joins the kernel's uevent broadcast. False when the socket cannot be opened or bound (no
    // netlink in this sandbox, for instance); the listener then stays closed.
    bool Open();
    bool IsOpen() const { return socket_ >= 0; }
    void Close();

    // Waits at most `timeout` for the next event from the kernel. Messages from anyone but the
    // kernel and messages that do not parse are dropped without ending the wait early. Returns
    // Interrupted (at once, and on every later call) once Interrupt() has been called.
    WaitResult Wait(Uevent& out, std::chrono::milliseconds timeout);

    // Wakes a Wait on another thread, and makes every later Wait return Interrupted. Safe to call
    // from any thread while the listener is open.
    void Interrupt();

  private:
    int socket_ = -1;
    int wake_ = -1;  // eventfd written by Interrupt()
};

}  // namespace tqv::platform
