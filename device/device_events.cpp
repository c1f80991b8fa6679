#include "device/device_events.h"

#include <unistd.h>

#include <cstdio>

#include "device/serial_link.h"
#include "platform/file_io.h"
#include "platform/fs_roots.h"
#include "platform/hex.h"
#include "platform/serial_ports.h"

namespace tqv {
namespace {

// PRODUCT of a USB device event: "vendor/product/bcdDevice" in hex.
bool ParseProduct(const std::string& product, std::uint16_t& vendor, std::uint16_t& id) {
    const auto first = product.find('/');
    if (first == std::string::npos)
        return false;
    const auto second = product.find('/', first + 1);
    if (second == std::string::npos)
        return false;
    return platform::ParseHex16(std::string_view(product).substr(0, first), vendor) &&
           platform::ParseHex16(std::string_view(product).substr(first + 1, second - first - 1), id);
}

// A devpath from the kernel names a folder below /devices; anything that could climb out of
// the sysfs root is not used to read files.
bool SafeDevpath(const std::string& devpath) {
    return devpath.rfind("/devices/", 0) == 0 && devpath.find("/../") == std::string::npos &&
           devpath.find("/./") == std::string::npos && !devpath.ends_with("/..");
}

std::string ReadSerial(const std::string& devpath) {
    if (!SafeDevpath(devpath))
        return {};
    std::string text;
    if (!platform::ReadWholeFile(platform::SysfsRoot() + devpath + "/serial", text))
        return {};
    if (text.size() > 256)
        text.resize(256);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

std::string BaseName(const std::string& devpath) {
    const auto slash = devpath.rfind('/');
    return slash == std::string::npos ? devpath : devpath.substr(slash + 1);
}

}  // namespace

bool ContainsDeviceId(std::string_view interfaceName, std::string_view id) {
    if (id.empty())
        return false;
    const auto at = interfaceName.find(id);
    return at != std::string_view::npos && at > 0;
}

std::string UsbInterfaceName(std::uint16_t vendorId, std::uint16_t productId,
                             std::string_view instance) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", vendorId, productId);
    std::string cleaned(instance);
    for (char& c : cleaned) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '#' || c == '\\' || c == '/' || u <= 0x20 || u == 0x7F)
            c = '_';
    }
    return std::string("\\\\?\\USB#") + ids + "#" + cleaned + "#" +
           std::string(kUsbDeviceInterfaceClass);
}

std::optional<DeviceChange> DeviceInterfaceNames::FromUevent(const platform::Uevent& event) {
    DeviceChange change;
    if (event.action == "add") {
        change.kind = DeviceChangeKind::Arrival;
    } else if (event.action == "remove") {
        change.kind = DeviceChangeKind::Removal;
    } else {
        return std::nullopt;
    }
    if (event.Value("SUBSYSTEM") != "usb" || event.Value("DEVTYPE") != "usb_device") {
        return std::nullopt;
    }
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    if (!ParseProduct(event.Value("PRODUCT"), vendor, product))
        return std::nullopt;
    change.devpath = event.devpath;

    std::string instance;
    if (change.kind == DeviceChangeKind::Arrival) {
        instance = ReadSerial(event.devpath);
        if (instance.empty())
            instance = BaseName(event.devpath);
        // Bounded: a device that keeps arriving without ever being removed cannot grow this
        // without end.
        if (instances_.size() >= 1024)
            instances_.clear();
        instances_[event.devpath] = instance;
    } else {
        const auto known = instances_.find(event.devpath);
        if (known != instances_.end()) {
            instance = known->second;
            instances_.erase(known);
        } else {
            instance = BaseName(event.devpath);
        }
    }
    change.interfaceName = UsbInterfaceName(vendor, product, instance);
    return change;
}

bool DeviceWatcher::Start() {
    if (thread_.joinable())
        return true;
    if (!listener_.Open())
        return false;
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void DeviceWatcher::Stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    listener_.Interrupt();
    if (thread_.joinable())
        thread_.join();
    listener_.Close();
}

bool DeviceWatcher::Stopping() {
    std::lock_guard lock(stopMutex_);
    return stopping_;
}

void DeviceWatcher::Run() {
    DeviceInterfaceNames names;
    platform::Uevent event;
    while (!Stopping()) {
        // Stop() interrupts the wait, so it can be long: the thread then wakes only for events,
        // never on a timer of its own.
        const auto result = listener_.Wait(event, std::chrono::minutes(10));
        if (result == platform::UeventListener::WaitResult::Interrupted)
            return;
        if (result == platform::UeventListener::WaitResult::Error) {
            // A broken socket: do not spin on it; wait (interruptibly) and try again.
            std::unique_lock lock(stopMutex_);
            stopSignal_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
            continue;
        }
        if (result != platform::UeventListener::WaitResult::Event)
            continue;
        if (auto change = names.FromUevent(event))
            Handle(*change);
    }
}

void DeviceWatcher::WaitForTty(const std::string& devpath) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleTimeout;
    for (;;) {
        std::vector<platform::SerialPortInfo> ports;
        platform::ListSerialPorts(ports);
        bool found = false;
        bool usable = true;
        for (const auto& port : ports) {
            if (port.devicePath != devpath)
                continue;
            found = true;
            if (::access(platform::SerialPortPath(port.name).c_str(), R_OK | W_OK) != 0) {
                usable = false;
            }
        }
        if (found && usable)
            return;
        std::unique_lock lock(stopMutex_);
        if (stopSignal_.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + kSettlePoll),
                [this] { return stopping_; })) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return;
    }
}

bool DeviceWatcher::Handle(const DeviceChange& change) {
    if (change.kind == DeviceChangeKind::Arrival &&
        ContainsDeviceId(change.interfaceName, kSerialDisplayId)) {
        WaitForTty(change.devpath);
        if (Stopping())
            return false;
        RebuildSerialLink(targets_.link, targets_.serialPresent, targets_.extraPorts);
        ++rebuilds_;
        return true;
    }
    if (change.kind == DeviceChangeKind::Removal &&
        ContainsDeviceId(change.interfaceName, kHidDisplayId)) {
        if (!targets_.hid.hasDevice())
            return false;
        targets_.hid.ForgetDevice();
        return true;
    }
    return false;
}

}  // namespace tqv
