#include "device/serial_link.h"

#include <mutex>
#include <vector>

#include "device/serial_frame.h"
#include "platform/serial_ports.h"

namespace tqv {

std::optional<std::string> PortNameFromFriendlyName(std::string_view friendlyName) {
    std::string_view name = friendlyName;
    const auto open = friendlyName.find('(');
    if (open != std::string_view::npos)
        name = friendlyName.substr(open + 1);
    while (!name.empty() && name.back() == ')')
        name.remove_suffix(1);
    if (!name.starts_with(platform::kSerialPortPrefix))
        return std::nullopt;
    return std::string(name);
}

bool EnumeratePorts(DeviceLink& link, std::span<const std::string> extraPorts) {
    std::vector<platform::SerialPortInfo> found;
    if (!platform::ListSerialPorts(found))
        return false;
    for (const auto& info : found) {
        if (link.ports.size() >= DeviceLink::kSlots)
            return true;
        if (auto name = PortNameFromFriendlyName(info.friendlyName)) {
            link.ports.push_back(std::move(*name));
        }
    }
    for (const auto& path : extraPorts) {
        if (link.ports.size() >= DeviceLink::kSlots)
            return true;
        link.ports.push_back(path);
    }
    return true;
}

void ClosePorts(DeviceLink& link) {
    link.current = nullptr;
    for (auto& handle : link.handles)
        handle.reset();
    link.ports.clear();
}

bool OpenPorts(DeviceLink& link, std::span<const std::string> extraPorts) {
    // Everything of the previous rebuild is closed before anything is listed or opened again, so
    // a port kept last time can be opened again now.
    ClosePorts(link);
    if (!EnumeratePorts(link, extraPorts))
        return false;

    bool kept = false;
    for (std::size_t i = 0; i < link.ports.size() && i < DeviceLink::kSlots; ++i) {
        auto port = platform::OpenSerialPort(platform::SerialPortPath(link.ports[i]));
        if (!port)
            continue;
        link.handles[i] = std::move(port);
        platform::SerialPort* const previous = link.current;
        link.current = link.handles[i].get();
        SendFrame(Code(FrameCommand::Handshake), 0, link, 0, false, 0, false);
        if (link.lastWriteOk && link.confirmed) {
            kept = true;
        } else {
            link.handles[i].reset();
            link.current = previous;
        }
    }
    return kept;
}

bool RebuildSerialLink(DeviceLink& link, std::atomic<bool>& serialPresent,
                       std::span<const std::string> extraPorts) {
    std::lock_guard lock(link.mutex);
    serialPresent.store(false);
    const bool kept = OpenPorts(link, extraPorts);
    serialPresent.store(kept);
    return kept;
}

}  // namespace tqv
