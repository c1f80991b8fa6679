// Drives: the real disks of /sys/block (NVMe, SCSI/SATA/USB, MMC/SD, virtio and Xen disks; never
// loop, zram, device-mapper or md devices), each with a busy-percent load sensor from
// /proc/diskstats and the temperature of its hwmon chip (nvme, drivetemp) where there is one.
#include <sys/stat.h>

#include <array>
#include <cstdio>

#include "platform/pci_ids.h"
#include "sdk/discovery.h"
#include "sdk/text_parsers.h"

namespace tqv::sdk {
namespace {

// /proc/diskstats, read at most once per update for all drives.
class DiskStats {
  public:
    explicit DiskStats(const std::string& path) : file_(path) {}
    std::optional<std::uint64_t> IoTicks(const ReadContext& context, const std::string& name) {
        if (generation_ != context.generation) {
            generation_ = context.generation;
            auto text = file_.Read(kLimit);
            content_ = text ? std::string(*text) : std::string();
        }
        return DiskIoTicks(content_, name);
    }

  private:
    static constexpr std::size_t kLimit = 1 << 18;
    KeptFile file_;
    std::uint64_t generation_ = 0;
    std::string content_;
};

class DiskBusySource : public TwoSampleSource<std::uint64_t> {
  public:
    DiskBusySource(std::shared_ptr<DiskStats> stats, std::string name)
        : stats_(std::move(stats)), name_(std::move(name)) {}

  protected:
    std::optional<std::uint64_t> TakeSample(const ReadContext& context) override {
        return stats_->IoTicks(context, name_);
    }
    std::optional<double> Between(const std::uint64_t& earlier, const std::uint64_t& later,
                                  std::int64_t elapsedUs) override {
        return BusyPercent(earlier, later, elapsedUs);
    }

  private:
    std::shared_ptr<DiskStats> stats_;
    std::string name_;
};

bool IsRealDiskName(const std::string& name) {
    static constexpr std::array<const char*, 6> kPrefixes = {"nvme", "sd",  "mmcblk",
                                                             "vd",   "xvd", "hd"};
    bool known = false;
    for (const char* prefix : kPrefixes) {
        if (name.rfind(prefix, 0) == 0)
            known = true;
    }
    if (!known)
        return false;
    // eMMC boot and replay-protected areas are parts of the one card.
    return name.find("boot") == std::string::npos && name.find("rpmb") == std::string::npos;
}

// The PCI device a block device hangs from (a virtio disk's controller), if any.
std::string PciAncestorName(const std::string& block) {
    std::string path = RealPath(block + "/device");
    while (path.size() > 1) {
        std::string vendorPath = path + "/vendor";
        std::string devicePath = path + "/device";
        unsigned vendor = 0, device = 0;
        if (PathExists(path + "/subsystem_vendor") &&
            std::sscanf(ReadTrimmedLine(vendorPath).c_str(), "%x", &vendor) == 1 &&
            std::sscanf(ReadTrimmedLine(devicePath).c_str(), "%x", &device) == 1 &&
            vendor <= 0xFFFF && device <= 0xFFFF) {
            return platform::PciDeviceName(static_cast<std::uint16_t>(vendor),
                                           static_cast<std::uint16_t>(device));
        }
        path = path.substr(0, path.rfind('/'));
    }
    return {};
}

std::string DriveName(const std::string& block, const std::string& name) {
    for (const char* file : {"/device/model", "/device/name"}) {
        std::string model = CleanDmiText(ReadTrimmedLine(block + file));
        if (!model.empty())
            return model;
    }
    std::string pciName = PciAncestorName(block);
    return pciName.empty() ? name : pciName;
}

std::string ParentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

void DiscoverDrives(Discovery& discovery, std::vector<Device>& drives) {
    std::string blockRoot = discovery.sys + "/block/";
    std::shared_ptr<DiskStats> stats;
    if (PathExists(discovery.proc + "/diskstats")) {
        stats = std::make_shared<DiskStats>(discovery.proc + "/diskstats");
        discovery.shared.push_back(stats);
    }
    const auto& chips = discovery.hwmon->Chips();
    for (const std::string& name : ListFolder(blockRoot)) {
        if (!IsRealDiskName(name))
            continue;
        std::string block = blockRoot + name;
        // A whole disk has a device behind it; hidden multipath paths and empty card-reader
        // slots are not drives.
        if (!PathExists(block + "/device"))
            continue;
        if (ReadTrimmedLine(block + "/hidden") == "1")
            continue;
        if (ReadTrimmedLine(block + "/size") == "0")
            continue;

        Device drive;
        drive.kind = SDK_DEVICE_DRIVE;
        drive.label = DriveName(block, name);

        // The drive's hwmon chip sits below its device (drivetemp) or its controller (nvme).
        std::string device = RealPath(block + "/device");
        std::string controller = RealPath(block + "/device/device");
        for (std::size_t c = 0; c < chips.size(); ++c) {
            std::string owner = ParentOf(ParentOf(chips[c].realPath));  // <device>/hwmon/hwmonN
            std::string direct = ParentOf(chips[c].realPath);           // <device>/hwmonN
            bool mine = false;
            for (const std::string& candidate : {device, controller}) {
                if (!candidate.empty() && (owner == candidate || direct == candidate))
                    mine = true;
            }
            if (!mine)
                continue;
            discovery.chipClaimed[c] = true;
            const auto& features = chips[c].features;
            for (std::size_t f = 0; f < features.size(); ++f) {
                if (features[f].kind != HwmonKind::Temperature)
                    continue;
                drive.Add(kSlotTemperature, features[f].label,
                          std::make_unique<HwmonSource>(discovery.hwmon, c, f));
            }
        }
        if (stats)
            drive.Add(kSlotLoad, "Total Activity", std::make_unique<DiskBusySource>(stats, name));
        drives.push_back(std::move(drive));
    }
}

}  // namespace tqv::sdk
