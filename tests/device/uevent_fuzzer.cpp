// Fuzzes what the hotplug path makes of a netlink message: the uevent parser, then the
// device-interface name and the device-id match.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "device/device_events.h"
#include "platform/hotplug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The instance lookup reads below the sysfs root; keep it away from the real one.
    static const bool rooted = (::setenv("TQV_SYSFS_ROOT", "/nonexistent-tqv-fuzz-root", 1), true);
    static tqv::DeviceInterfaceNames names;
    (void)rooted;
    tqv::platform::Uevent event;
    if (!tqv::platform::ParseUevent(reinterpret_cast<const char*>(data), size, event)) return 0;
    if (auto change = names.FromUevent(event)) {
        (void)tqv::ContainsDeviceId(change->interfaceName, tqv::kSerialDisplayId);
        (void)tqv::ContainsDeviceId(change->interfaceName, tqv::kHidDisplayId);
    }
    return 0;
}
