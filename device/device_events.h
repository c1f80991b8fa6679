// USB device arrivals and removals, and what they do to the display link.
//
// Each kernel uevent for a USB device becomes a device-interface name of the shape
//   \\?\USB#VID_2E3C&PID_5740#<instance>#{A5DCBF10-6530-11D2-901F-00C04FB951ED}
// (vendor and product id as four upper-case hex digits; the instance is the device's serial
// number string, or its sysfs name such as "1-2" when it has none), and the rules match device
// ids in that name: case-sensitively, and only at a position after its first character.
//   - The arrival of "VID_2E3C&PID_5740" (the serial display) rebuilds the serial link, once
//     the device's tty is there and can be opened (the tty appears after the USB device, and a
//     device manager may still be setting its permissions), or after a short wait at most.
//   - The removal of "VID_5131&PID_2007" (the HID display) while a HID handle is held closes it
//     and shuts hidapi down, so that the monitor worker opens the display afresh.
// Nothing else is done for any event: the serial display's removal leaves the link alone (its
// writes fail until the next rebuild), the HID display's arrival is found by the next cycle.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/device_link.h"
#include "device/hid_display.h"
#include "platform/hotplug.h"

namespace tqv {

inline constexpr std::string_view kSerialDisplayId = "VID_2E3C&PID_5740";
inline constexpr std::string_view kHidDisplayId = "VID_5131&PID_2007";
inline constexpr std::string_view kUsbDeviceInterfaceClass =
    "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

enum class DeviceChangeKind { Arrival, Removal };

struct DeviceChange {
    DeviceChangeKind kind = DeviceChangeKind::Arrival;
    std::string interfaceName;
    std::string devpath;  // the USB device's folder below the sysfs root
};

// Whether `id` occurs in `interfaceName` at a position after its first character (the first
// occurrence counts), comparing case-sensitively.
bool ContainsDeviceId(std::string_view interfaceName, std::string_view id);

// "\\?\USB#VID_vvvv&PID_pppp#<instance>#{A5DCBF10-...}". Characters of the instance that would
// break the shape ('#', '\', '/', blanks and control characters) become '_'.
std::string UsbInterfaceName(std::uint16_t vendorId, std::uint16_t productId,
                             std::string_view instance);

// Turns uevents into device changes. Only the "add" and "remove" events of whole USB devices
// count (SUBSYSTEM "usb", DEVTYPE "usb_device", a parseable PRODUCT); their interfaces, ttys and
// every other event give nothing. The instance of an arriving device is read from its sysfs
// folder (under platform::SysfsRoot()) and remembered, so its removal, when the folder is gone
// already, gets the same name.
class DeviceInterfaceNames {
  public:
    std::optional<DeviceChange> FromUevent(const platform::Uevent& event);

  private:
    std::map<std::string, std::string> instances_;  // devpath -> instance, for present devices
};

// What the rules act on. The link is rebuilt with RebuildSerialLink (which takes link.mutex),
// the HID display is forgotten through its own lock.
struct DeviceTargets {
    DeviceLink& link;
    std::atomic<bool>& serialPresent;
    HidDisplay& hid;
    std::vector<std::string> extraPorts;  // --port paths, listed after the discovered ports
};

// Applies the rules to device changes, and runs the kernel event listener on a thread of its
// own when started.
class DeviceWatcher {
  public:
    // How long an arrival waits at most for the device's tty to become usable.
    static constexpr std::chrono::milliseconds kSettleTimeout{3000};
    static constexpr std::chrono::milliseconds kSettlePoll{50};

    explicit DeviceWatcher(DeviceTargets targets) : targets_(std::move(targets)) {}
    ~DeviceWatcher() { Stop(); }
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Opens the kernel event listener and starts the thread. False when the listener cannot be
    // opened; the link is then rebuilt only at start-up and by the rebuild command.
    bool Start();

    // Ends the thread: wakes its wait for events and any wait for a tty, then joins it. A
    // rebuild in progress runs to its end first (a few hundred milliseconds per port). Safe to
    // call more than once.
    void Stop();

    // Applies the rules to one change, on the calling thread. True when it acted (rebuilt the
    // link or forgot the HID display).
    bool Handle(const DeviceChange& change);

    // Rebuilds made so far, for tests and diagnostics.
    int rebuilds() const { return rebuilds_.load(); }

  private:
    void Run();
    // Waits (interruptibly) until a tty of the USB device at `devpath` exists and can be opened
    // for reading and writing, or until the settle time is over.
    void WaitForTty(const std::string& devpath);
    bool Stopping();

    DeviceTargets targets_;
    platform::UeventListener listener_;
    std::thread thread_;
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    std::atomic<int> rebuilds_{0};
};

}  // namespace tqv
