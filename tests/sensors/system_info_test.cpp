// The Linux readers behind the inventory, on small fixture trees laid out like /sys, /proc and
// /etc, and the PCI id database on a small fixture file.
#include "platform/system_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/pci_ids.h"
#include "tests/sensors/sensor_test_support.h"

namespace tqv::platform {
namespace {

using test::Link;
using test::ScopedEnv;
using test::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kPciIds =
    "# A few lines in the database's own layout\n"
    "8086  Intel Corporation\n"
    "\t15b8  Ethernet Connection (2) I219-V\n"
    "\t\t8086 0001  A subsystem, never a device\n"
    "\t15f3  Ethernet Controller I225-V\n"
    "1af4  Red Hat, Inc.\n"
    "\t1041  Virtio 1.0 network device\n"
    "10de  NVIDIA Corporation\n"
    "\t2206  GA102 [GeForce RTX 3080]\n"
    "ffff  Illegal Vendor ID\n"
    "C 02  Network controller\n"
    "\t00  Ethernet controller\n"
    "\t80  Network controller\n";

class PciIdsTest : public ::testing::Test {
  protected:
    PciIdsTest() : pci_("TQV_PCI_IDS", tmp_ / "pci.ids") { WriteFile(tmp_ / "pci.ids", kPciIds); }
    test::TempDir tmp_;
    ScopedEnv pci_;
};

TEST_F(PciIdsTest, LooksUpDevicesAndVendors) {
    struct Case {
        std::uint16_t vendor, device;
        const char* name;
    };
    for (const Case& c : {Case{0x8086, 0x15b8, "Ethernet Connection (2) I219-V"},
                          Case{0x8086, 0x15f3, "Ethernet Controller I225-V"},
                          Case{0x10de, 0x2206, "GA102 [GeForce RTX 3080]"},
                          Case{0x8086, 0x0001, ""},  // subsystem ids are not devices
                          Case{0x8086, 0x2206, ""},  // a device of another vendor
                          Case{0xffff, 0x0000, ""}, Case{0x1234, 0x5678, ""}}) {
        EXPECT_EQ(PciDeviceName(c.vendor, c.device), c.name)
            << std::hex << c.vendor << ":" << c.device;
    }
    EXPECT_EQ(PciVendorName(0x1af4), "Red Hat, Inc.");
    EXPECT_EQ(PciVendorName(0x10de), "NVIDIA Corporation");
    EXPECT_EQ(PciVendorName(0x0002), "");  // class lines are not vendors
}

TEST_F(PciIdsTest, AnotherDatabasePathIsReadAfresh) {
    EXPECT_EQ(PciVendorName(0x8086), "Intel Corporation");
    WriteFile(tmp_ / "other.ids", "8086  Intel\n\t15b8  Renamed\r\n");
    ScopedEnv other("TQV_PCI_IDS", tmp_ / "other.ids");
    EXPECT_EQ(PciDeviceName(0x8086, 0x15b8), "Renamed");
    ScopedEnv missing("TQV_PCI_IDS", tmp_ / "absent.ids");
    EXPECT_EQ(PciDeviceName(0x8086, 0x15b8), "");
    EXPECT_EQ(PciVendorName(0x8086), "");
}

TEST_F(PciIdsTest, MalformedLinesAreSkipped) {
    WriteFile(tmp_ / "bad.ids",
              "80  short\n\t15b8  orphan device before any vendor\nzzzz  not hex\n"
              "\t1111  device of a line that is no vendor\n8086\n\t15b8\n1af4  Red Hat\n"
              "\t1041  Virtio\n\t10\n");
    ScopedEnv bad("TQV_PCI_IDS", tmp_ / "bad.ids");
    EXPECT_EQ(PciDeviceName(0x8086, 0x15b8), "");
    EXPECT_EQ(PciDeviceName(0x1af4, 0x1041), "Virtio");
}

// ---- Network adapter --------------------------------------------------------------------------

// Builds a sysfs tree under `sys`, as the kernel lays it out: devices under devices/, the
// interfaces linked from class/net/.
class SysTree {
  public:
    explicit SysTree(std::filesystem::path sys) : sys_(std::move(sys)) {}

    // A PCI function at devices/<parent>/<address> with a network interface.
    void PciAdapter(const std::string& ifname, int ifindex, const std::string& address,
                    const std::string& vendor, const std::string& device) {
        std::string dir = "devices/pci0000:00/" + address;
        WriteFile(sys_ / dir / "vendor", vendor + "\n");
        WriteFile(sys_ / dir / "device", device + "\n");
        Link(sys_ / dir / "subsystem", "../../../bus/pci");
        Interface(ifname, ifindex, dir, "../../../" + address);
    }

    // An interface whose device is `deviceDir` (relative to the tree), linked as `deviceLink`
    // from devices/.../net/<ifname>.
    void Interface(const std::string& ifname, int ifindex, const std::string& deviceDir,
                   const std::string& deviceLink) {
        std::string dir = deviceDir + "/net/" + ifname;
        WriteFile(sys_ / dir / "ifindex", std::to_string(ifindex) + "\n");
        Link(sys_ / dir / "device", deviceLink);
        Link(sys_ / "class/net" / ifname, "../../" + dir);
    }

    // An interface without a device: the loopback and virtual ones.
    void Virtual(const std::string& ifname, int ifindex) {
        std::string dir = "devices/virtual/net/" + ifname;
        WriteFile(sys_ / dir / "ifindex", std::to_string(ifindex) + "\n");
        Link(sys_ / "class/net" / ifname, "../../" + dir);
    }

    const std::filesystem::path& path() const { return sys_; }

  private:
    std::filesystem::path sys_;
};

struct NetworkCase {
    const char* name;
    std::function<void(SysTree&)> build;
    std::string expected;
};

class NetworkTest : public ::testing::TestWithParam<NetworkCase> {
  protected:
    NetworkTest() : sys_("TQV_SYSFS_ROOT", tmp_ / "sys"), pci_("TQV_PCI_IDS", tmp_ / "pci.ids") {
        WriteFile(tmp_ / "pci.ids", kPciIds);
        std::filesystem::create_directories(tmp_.path() / "sys");
    }
    test::TempDir tmp_;
    ScopedEnv sys_, pci_;
};

TEST_P(NetworkTest, FirstPhysicalAdapter) {
    SysTree tree(tmp_.path() / "sys");
    GetParam().build(tree);
    EXPECT_EQ(NetworkAdapterDescription(), GetParam().expected);
}

void UsbAdapter(SysTree& t, bool withProduct) {
    // A USB network adapter behind a PCI USB controller; the interface's device is the USB
    // interface 2-1:1.0 of the device 2-1.
    std::string controller = "devices/pci0000:00/0000:00:14.0";
    WriteFile(t.path() / controller / "vendor", "0x8086\n");
    WriteFile(t.path() / controller / "device", "0x15b8\n");
    Link(t.path() / controller / "subsystem", "../../../bus/pci");
    std::string usbDevice = controller + "/usb2/2-1";
    WriteFile(t.path() / usbDevice / "idVendor", "0bda\n");
    WriteFile(t.path() / usbDevice / "idProduct", "8153\n");
    if (withProduct)
        WriteFile(t.path() / usbDevice / "product", "USB 10/100/1000 LAN\n");
    Link(t.path() / usbDevice / "subsystem", "../../../../../bus/usb");
    Link(t.path() / usbDevice / "2-1:1.0/subsystem", "../../../../../../bus/usb");
    t.Interface("enx00e04c680001", 4, usbDevice + "/2-1:1.0", "../../../2-1:1.0");
}

INSTANTIATE_TEST_SUITE_P(
    Trees, NetworkTest,
    ::testing::Values(
        NetworkCase{"NoNetClass", [](SysTree&) {}, ""},
        NetworkCase{"OnlyLoopbackAndVirtual",
                    [](SysTree& t) {
                        t.Virtual("lo", 1);
                        t.Virtual("br0", 2);
                        t.Virtual("veth1", 3);
                    },
                    ""},
        NetworkCase{"PciAdapterAfterLoopback",
                    [](SysTree& t) {
                        t.Virtual("lo", 1);
                        t.Virtual("docker0", 2);
                        t.PciAdapter("enp0s31f6", 3, "0000:00:1f.6", "0x8086", "0x15b8");
                    },
                    "Ethernet Connection (2) I219-V"},
        NetworkCase{"InterfaceIndexOrderNotNameOrder",
                    [](SysTree& t) {
                        t.PciAdapter("eth0", 5, "0000:03:00.0", "0x8086", "0x15f3");
                        t.PciAdapter("eth1", 2, "0000:00:1f.6", "0x8086", "0x15b8");
                    },
                    "Ethernet Connection (2) I219-V"},
        NetworkCase{"UsbAdapterProductString", [](SysTree& t) { UsbAdapter(t, true); },
                    "USB 10/100/1000 LAN"},
        NetworkCase{"UsbAdapterWithoutProductString", [](SysTree& t) { UsbAdapter(t, false); },
                    "USB device 0bda:8153"},
        NetworkCase{"PciDeviceMissingFromTheDatabase",
                    [](SysTree& t) { t.PciAdapter("eth0", 2, "0000:00:19.0", "0x8086", "0xabcd"); },
                    "Intel Corporation Device abcd"},
        NetworkCase{"PciVendorMissingFromTheDatabase",
                    [](SysTree& t) { t.PciAdapter("eth0", 2, "0000:00:19.0", "0x1234", "0x5678"); },
                    "PCI device 1234:5678"},
        NetworkCase{"VirtioAdapterNamedByItsPciFunction",
                    [](SysTree& t) {
                        std::string pci = "devices/pci0000:00/0000:00:03.0";
                        WriteFile(t.path() / pci / "vendor", "0x1af4\n");
                        WriteFile(t.path() / pci / "device", "0x1041\n");
                        Link(t.path() / pci / "subsystem", "../../../bus/pci");
                        Link(t.path() / pci / "virtio0/subsystem", "../../../../bus/virtio");
                        t.Interface("ens3", 2, pci + "/virtio0", "../../../virtio0");
                    },
                    "Virtio 1.0 network device"},
        NetworkCase{"PlatformAdapterNamedByItsDriver",
                    [](SysTree& t) {
                        std::string dev = "devices/platform/ff540000.ethernet";
                        Link(t.path() / dev / "subsystem", "../../../bus/platform");
                        Link(t.path() / dev / "driver", "../../../bus/platform/drivers/macb");
                        t.Interface("eth0", 2, dev, "../../../ff540000.ethernet");
                    },
                    "macb"},
        NetworkCase{
            "AdapterWithoutAnyNameGivesTheInterfaceName",
            [](SysTree& t) { t.Interface("eth7", 2, "devices/odd/thing", "../../../thing"); },
            "eth7"},
        NetworkCase{"BrokenDeviceLinkIsNotAnAdapter",
                    [](SysTree& t) {
                        t.Interface("eth0", 2, "devices/gone", "../../../nowhere");
                        t.PciAdapter("eth1", 3, "0000:00:1f.6", "0x8086", "0x15b8");
                    },
                    "Ethernet Connection (2) I219-V"},
        NetworkCase{"GarbageIdFilesFallBackToTheDriverOrName",
                    [](SysTree& t) { t.PciAdapter("eth0", 2, "0000:00:1f.6", "0xzz86", ""); },
                    "eth0"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- os-release -------------------------------------------------------------------------------

TEST(OsRelease, ParsesTheShellLikeAssignments) {
    auto values = ParseOsRelease(
        "# comment\n"
        "NAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID=12\r\n"
        "PRETTY_NAME='Single \"quoted\"'\n"
        "ESCAPED=\"a \\\"b\\\" \\\\ \\$HOME \\`x\\` \\n\"\n"
        "  INDENTED = spaced \n"
        "EMPTY=\n"
        "UNTERMINATED=\"open\n"
        "TRAILING=\"x\" junk\n"
        "=novalue\n"
        "BAD-KEY=1\n"
        "no equals sign\n"
        "ID=first\n"
        "ID=second\n");
    EXPECT_EQ(values["NAME"], "Debian GNU/Linux");
    EXPECT_EQ(values["VERSION_ID"], "12");
    EXPECT_EQ(values["PRETTY_NAME"], "Single \"quoted\"");
    EXPECT_EQ(values["ESCAPED"], "a \"b\" \\ $HOME `x` \\n");
    EXPECT_EQ(values["ID"], "second");
    EXPECT_EQ(values.count("EMPTY"), 1u);
    EXPECT_EQ(values.count("INDENTED "), 0u);
    EXPECT_EQ(values.count("UNTERMINATED"), 0u);
    EXPECT_EQ(values.count("TRAILING"), 0u);
    EXPECT_EQ(values.count("BAD-KEY"), 0u);
    EXPECT_EQ(values.size(), 6u);  // NAME VERSION_ID PRETTY_NAME ESCAPED EMPTY ID
}

struct OsFactsCase {
    const char* name;
    const char* etcOsRelease;     // null: no file
    const char* usrLibOsRelease;  // null: no file
    const char* kernelRelease;    // null: no file
    OsVersionFacts expected;
};

class OsFactsTest : public ::testing::TestWithParam<OsFactsCase> {};

TEST_P(OsFactsTest, ReadsNameVersionAndKernelRelease) {
    const OsFactsCase& c = GetParam();
    test::TempDir tmp;
    ScopedEnv etc("TQV_ETC_ROOT", tmp / "etc");
    ScopedEnv proc("TQV_PROCFS_ROOT", tmp / "proc");
    std::filesystem::create_directories(tmp.path() / "etc");
    if (c.etcOsRelease)
        WriteFile(tmp.path() / "etc/os-release", c.etcOsRelease);
    if (c.usrLibOsRelease)
        WriteFile(tmp.path() / "usr/lib/os-release", c.usrLibOsRelease);
    if (c.kernelRelease)
        WriteFile(tmp.path() / "proc/sys/kernel/osrelease", c.kernelRelease);
    OsVersionFacts facts = ReadOsVersionFacts();
    EXPECT_EQ(facts.productName, c.expected.productName);
    EXPECT_EQ(facts.displayVersion, c.expected.displayVersion);
    EXPECT_EQ(facts.currentBuild, c.expected.currentBuild);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, OsFactsTest,
    ::testing::Values(OsFactsCase{"Etc",
                                  "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nBUILD_ID=x\n",
                                  "NAME=Other\n",
                                  "6.1.0-13-amd64\n",
                                  {"Debian GNU/Linux", "12", "6.1.0-13-amd64"}},
                      OsFactsCase{"UsrLibWhenEtcIsMissing",
                                  nullptr,
                                  "NAME=Fedora Linux\nVERSION_ID=39\n",
                                  nullptr,
                                  {"Fedora Linux", "39", ""}},
                      OsFactsCase{"RollingReleaseUsesBuildId",
                                  "NAME=\"Arch Linux\"\nBUILD_ID=rolling\n",
                                  nullptr,
                                  "6.6.1-arch1-1",
                                  {"Arch Linux", "rolling", "6.6.1-arch1-1"}},
                      OsFactsCase{"NothingReadable", nullptr, nullptr, nullptr, {"", "", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Sound cards ------------------------------------------------------------------------------

struct SoundCase {
    const char* name;
    const char* cards;
    std::vector<std::string> expected;
};

class SoundCardsTest : public ::testing::TestWithParam<SoundCase> {};

TEST_P(SoundCardsTest, LongNamesInCardOrder) {
    EXPECT_EQ(ParseSoundCards(GetParam().cards), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SoundCardsTest,
    ::testing::Values(
        SoundCase{"TwoCards",
                  " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n"
                  "                      HDA Intel PCH at 0xf7f10000 irq 32\n"
                  " 1 [NVidia         ]: HDA-Intel - HDA NVidia\n"
                  "                      HDA NVidia at 0xf7080000 irq 17\n",
                  {"HDA Intel PCH at 0xf7f10000 irq 32", "HDA NVidia at 0xf7080000 irq 17"}},
        SoundCase{"TenOrMoreCards",
                  "10 [Headset        ]: USB-Audio - USB Headset\n"
                  "                      Logitech USB Headset at usb-0000:00:14.0-2, full speed\n",
                  {"Logitech USB Headset at usb-0000:00:14.0-2, full speed"}},
        SoundCase{"NoCards", "--- no soundcards ---\n", {}}, SoundCase{"Empty", "", {}},
        SoundCase{"MissingLongNameLineGivesTheShortName",
                  " 0 [A              ]: drv - Short A\n"
                  " 1 [B              ]: drv - Short B\n"
                  "                      \n"
                  " 2 [C              ]: drv - Short C",
                  {"Short A", "Short B", "Short C"}},
        SoundCase{"Garbage", "\x01\x02 [ ]:\n[]:\n 7 [x\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SoundCards, ReadFromProcfsRoot) {
    test::TempDir tmp;
    ScopedEnv proc("TQV_PROCFS_ROOT", tmp / "proc");
    EXPECT_THAT(SoundCardNames(), IsEmpty());
    WriteFile(tmp.path() / "proc/asound/cards",
              " 0 [Generic        ]: HDA-Intel - HD-Audio Generic\n"
              "                      HD-Audio Generic at 0xfcd00000 irq 85\n");
    EXPECT_THAT(SoundCardNames(), ElementsAre("HD-Audio Generic at 0xfcd00000 irq 85"));
}

}  // namespace
}  // namespace tqv::platform
