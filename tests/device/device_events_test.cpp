// Hotplug: kernel uevent messages, the interface names made from them, the device-id match, the
// arrival and removal rules (with the emulator as the serial display and the fake hidapi as the
// HID display), and the netlink listener against the running kernel.
#include "device/device_events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device/hid_display.h"
#include "platform/hotplug.h"
#include "tests/device/sysfs_fixture.h"
#include "tests/fakes/fake_hidapi.h"
#include "tests/tools/emulator_process.h"

namespace tqv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace std::string_literals;

const std::string kDisplayName =
    "\\\\?\\USB#VID_2E3C&PID_5740#A1B2C3#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
const std::string kHidName =
    "\\\\?\\USB#VID_5131&PID_2007#1-4#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// A kernel uevent message: the header, then NUL-terminated KEY=value lines.
std::string Message(const std::string& action, const std::string& devpath,
                    std::vector<std::string> lines) {
    std::string m = action + "@" + devpath + '\0';
    for (const auto& l : lines)
        m += l + '\0';
    return m;
}

std::string UsbDeviceMessage(const std::string& action, const std::string& devpath,
                             const std::string& product) {
    return Message(action, devpath,
                   {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=usb",
                    "DEVNAME=bus/usb/001/005", "DEVTYPE=usb_device", "PRODUCT=" + product,
                    "TYPE=239/2/1", "BUSNUM=001", "DEVNUM=005", "SEQNUM=4711"});
}

TEST(ParseUevent, KernelMessagesAndEverythingElse) {
    const std::string dev = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    struct Case {
        const char* what;
        std::string message;
        bool parses;
    };
    const Case cases[] = {
        {"usb device arrival", UsbDeviceMessage("add", dev, "2e3c/5740/100"), true},
        {"last line without its NUL",
         Message("remove", dev, {"ACTION=remove", "DEVPATH=" + dev})
             .substr(0, Message("remove", dev, {"ACTION=remove", "DEVPATH=" + dev}).size() - 1),
         true},
        {"udev's own message", "libudev\0\xfe\xed\xca\xfe"s + std::string(32, '\0'), false},
        {"no NUL at all", "add@" + dev, false},
        {"no '@'", Message("add", "", {"ACTION=add"}).replace(0, 4, "add-"), false},
        {"empty action", Message("", dev, {"ACTION=", "DEVPATH=" + dev}), false},
        {"path not absolute", Message("add", "devices/x", {"ACTION=add", "DEVPATH=devices/x"}),
         false},
        {"ACTION disagrees", Message("add", dev, {"ACTION=remove", "DEVPATH=" + dev}), false},
        {"DEVPATH missing", Message("add", dev, {"ACTION=add"}), false},
        {"empty", "", false},
        {"binary noise", std::string("\x01\x02@\x00\xff=\x00", 7), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::Uevent event;
        EXPECT_EQ(platform::ParseUevent(c.message.data(), c.message.size(), event), c.parses);
    }

    platform::Uevent event;
    const auto m = UsbDeviceMessage("add", dev, "2e3c/5740/100");
    ASSERT_TRUE(platform::ParseUevent(m.data(), m.size(), event));
    EXPECT_EQ(event.action, "add");
    EXPECT_EQ(event.devpath, dev);
    EXPECT_EQ(event.Value("PRODUCT"), "2e3c/5740/100");
    EXPECT_EQ(event.Value("DEVTYPE"), "usb_device");
    EXPECT_EQ(event.Value("MISSING"), "");
}

TEST(DeviceInterfaceNames, UsbDeviceEventsBecomeInterfaceNames) {
    test::SysfsFixture fx;
    const auto display = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    const auto hid = fx.AddUsbDevice("1-4", 0x5131, 0x2007, "HID Display");  // no serial
    const auto odd = fx.AddUsbDevice("1-6", 0x1234, 0x00AB, "Odd", "a#b\\c d");

    DeviceInterfaceNames names;
    auto parse = [&](const std::string& message) {
        platform::Uevent event;
        EXPECT_TRUE(platform::ParseUevent(message.data(), message.size(), event));
        return names.FromUevent(event);
    };

    auto arrival = parse(UsbDeviceMessage("add", display, "2e3c/5740/100"));
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->kind, DeviceChangeKind::Arrival);
    EXPECT_EQ(arrival->interfaceName, kDisplayName);
    EXPECT_EQ(arrival->devpath, display);

    auto hidArrival = parse(UsbDeviceMessage("add", hid, "5131/2007/200"));
    ASSERT_TRUE(hidArrival);
    EXPECT_EQ(hidArrival->interfaceName, kHidName);

    auto oddArrival = parse(UsbDeviceMessage("add", odd, "1234/ab/1"));
    ASSERT_TRUE(oddArrival);
    EXPECT_EQ(oddArrival->interfaceName,
              "\\\\?\\USB#VID_1234&PID_00AB#a_b_c_d#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

    // The removal comes when the sysfs folder is gone; the name stays the arrival's.
    std::filesystem::remove_all(fx.root() / display.substr(1));
    auto removal = parse(UsbDeviceMessage("remove", display, "2e3c/5740/100"));
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->kind, DeviceChangeKind::Removal);
    EXPECT_EQ(removal->interfaceName, kDisplayName);
    // A removal never seen arriving (it came before we started) uses the sysfs name.
    auto unknown = parse(UsbDeviceMessage("remove", "/devices/pci0000:00/usb2/2-1", "2e3c/5740/1"));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->interfaceName,
              "\\\\?\\USB#VID_2E3C&PID_5740#2-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

    // Events that are not a whole USB device arriving or leaving give nothing.
    const std::string iface = display + "/1-2:1.0";
    const std::string notDevices[] = {
        Message("add", iface,
                {"ACTION=add", "DEVPATH=" + iface, "SUBSYSTEM=usb", "DEVTYPE=usb_interface",
                 "PRODUCT=2e3c/5740/100"}),
        Message("add", iface + "/tty/ttyACM0",
                {"ACTION=add", "DEVPATH=" + iface + "/tty/ttyACM0", "SUBSYSTEM=tty",
                 "DEVNAME=ttyACM0"}),
        UsbDeviceMessage("bind", display, "2e3c/5740/100"),
        UsbDeviceMessage("change", display, "2e3c/5740/100"),
        UsbDeviceMessage("add", display, "2e3c"),
        UsbDeviceMessage("add", display, "2e3cx/5740/100"),
        UsbDeviceMessage("add", display, "12345/5740/100"),
        UsbDeviceMessage("add", display, "/5740/100"),
    };
    for (const auto& m : notDevices) {
        SCOPED_TRACE(m.substr(0, m.find('\0')));
        EXPECT_FALSE(parse(m).has_value());
    }
}

TEST(DeviceInterfaceNames, DevpathThatClimbsOutIsNotReadFrom) {
    test::SysfsFixture fx;
    // A serial file outside /devices must never be read for the instance.
    fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    DeviceInterfaceNames names;
    const std::string devpath = "/devices/../devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const auto m = UsbDeviceMessage("add", devpath, "2e3c/5740/100");
    platform::Uevent event;
    ASSERT_TRUE(platform::ParseUevent(m.data(), m.size(), event));
    const auto change = names.FromUevent(event);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->interfaceName.find("A1B2C3"), std::string::npos);
}

TEST(ContainsDeviceId, CaseSensitiveAndAfterTheFirstCharacter) {
    struct Case {
        std::string name;
        std::string_view id;
        bool matches;
    };
    const Case cases[] = {
        {kDisplayName, kSerialDisplayId, true},
        {kHidName, kHidDisplayId, true},
        {kHidName, kSerialDisplayId, false},
        {"\\\\?\\USB#vid_2e3c&pid_5740#A1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", kSerialDisplayId,
         false},
        {"\\\\?\\USB#Vid_2E3C&Pid_5740#A1#{...}", kSerialDisplayId, false},
        {"VID_2E3C&PID_5740#A1", kSerialDisplayId, false},                 // at the first character
        {"VID_2E3C&PID_5740#VID_2E3C&PID_5740", kSerialDisplayId, false},  // first one counts
        {"xVID_2E3C&PID_5740", kSerialDisplayId, true},
        {"\\\\?\\USB#VID_2E3C&PID_574", kSerialDisplayId, false},
        {"", kSerialDisplayId, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ContainsDeviceId(c.name, c.id), c.matches);
    }
}

// ---- the rules ----

class DeviceRules : public ::testing::Test {
  protected:
    void SetUp() override { fake_hid::Reset(); }
    void TearDown() override { fake_hid::Reset(); }

    DeviceChange Arrival(const std::string& name, const std::string& devpath) {
        return {DeviceChangeKind::Arrival, name, devpath};
    }
    DeviceChange Removal(const std::string& name) { return {DeviceChangeKind::Removal, name, ""}; }

    test::SysfsFixture fx;
    DeviceLink link;
    std::atomic<bool> serialPresent{false};
    HidDisplay hid;
};

TEST_F(DeviceRules, SerialDisplayArrivalRebuildsTheLink) {
    test::EmulatorProcess display;
    ASSERT_TRUE(display.Start(test::kEmulatorPath, {}));
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    fx.AddAcmTty(devpath, "ttyACM0");
    fx.AddDeviceNode("ttyACM0", display.path());

    DeviceWatcher watcher({link, serialPresent, hid, {}});
    // Other devices, the id in lower case or at the first character: nothing happens.
    EXPECT_FALSE(watcher.Handle(
        Arrival("\\\\?\\USB#VID_046D&PID_C52B#1-3#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", "")));
    EXPECT_FALSE(watcher.Handle(Arrival(
        "\\\\?\\USB#vid_2e3c&pid_5740#A1B2C3#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", devpath)));
    EXPECT_FALSE(watcher.Handle(Arrival("VID_2E3C&PID_5740#A1B2C3", devpath)));
    EXPECT_FALSE(watcher.Handle(Removal(kDisplayName)));
    EXPECT_EQ(watcher.rebuilds(), 0);
    EXPECT_FALSE(serialPresent);
    EXPECT_TRUE(display.LinesStartingWith("FRAME").empty());

    EXPECT_TRUE(watcher.Handle(Arrival(kDisplayName, devpath)));
    EXPECT_EQ(watcher.rebuilds(), 1);
    EXPECT_TRUE(serialPresent);
    EXPECT_EQ(link.ports, std::vector<std::string>{"ttyACM0"});
    EXPECT_NE(link.handles[0], nullptr);
    EXPECT_EQ(display.WaitForLines("FRAME cmd=handshake", 1, seconds(2)).size(), 1u);
}

TEST_F(DeviceRules, ArrivalWaitsForTheTtyToAppear) {
    test::EmulatorProcess display;
    ASSERT_TRUE(display.Start(test::kEmulatorPath, {}));
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    // The driver binds and the node appears a little after the USB device's own event.
    std::thread driver([&] {
        std::this_thread::sleep_for(milliseconds(300));
        fx.AddDeviceNode("ttyACM0", display.path());
        fx.AddAcmTty(devpath, "ttyACM0");
    });
    DeviceWatcher watcher({link, serialPresent, hid, {}});
    EXPECT_TRUE(watcher.Handle(Arrival(kDisplayName, devpath)));
    driver.join();
    EXPECT_TRUE(serialPresent) << "the rebuild ran before the tty was there";
}

TEST_F(DeviceRules, ArrivalWithoutATtyGivesUpAfterTheSettleTime) {
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    serialPresent = true;
    DeviceWatcher watcher({link, serialPresent, hid, {}});
    const auto start = Clock::now();
    EXPECT_TRUE(watcher.Handle(Arrival(kDisplayName, devpath)));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, DeviceWatcher::kSettleTimeout - milliseconds(10));
    EXPECT_LT(elapsed, DeviceWatcher::kSettleTimeout + seconds(2));
    EXPECT_FALSE(serialPresent) << "the rebuild still has to run";
}

TEST_F(DeviceRules, StopCutsTheSettleWaitShort) {
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    DeviceWatcher watcher({link, serialPresent, hid, {}});
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(200));
        watcher.Stop();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(watcher.Handle(Arrival(kDisplayName, devpath)));
    EXPECT_LT(Clock::now() - start, seconds(2));
    stopper.join();
}

TEST_F(DeviceRules, ArrivalUsesTheGivenPortsToo) {
    test::EmulatorProcess display;
    ASSERT_TRUE(display.Start(test::kEmulatorPath, {}));
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1B2C3");
    fx.AddAcmTty(devpath, "ttyACM0");
    test::EmulatorProcess silent;  // the listed port is there but does not answer
    ASSERT_TRUE(silent.Start(test::kEmulatorPath, {"--no-answer"}));
    fx.AddDeviceNode("ttyACM0", silent.path());
    DeviceWatcher watcher({link, serialPresent, hid, {display.path()}});
    EXPECT_TRUE(watcher.Handle(Arrival(kDisplayName, devpath)));
    EXPECT_TRUE(serialPresent);
    EXPECT_EQ(link.ports, (std::vector<std::string>{"ttyACM0", display.path()}));
    EXPECT_EQ(link.handles[0], nullptr);
    EXPECT_NE(link.handles[1], nullptr);
}

TEST_F(DeviceRules, HidDisplayRemovalForgetsAHeldHandle) {
    DeviceWatcher watcher({link, serialPresent, hid, {}});

    // Without a handle nothing happens, not even the library shutdown.
    EXPECT_FALSE(watcher.Handle(Removal(kHidName)));
    EXPECT_TRUE(fake_hid::Functions().empty());

    fake_hid::SetOpenSucceeds(true);
    hid.SendHidReport(45, 12, 3600, 1250, 65, 50, 3, 1500, 800, 20);
    ASSERT_TRUE(hid.hasDevice());

    // Removals of other devices, the id in the wrong case or at the first character, and the
    // HID display's arrival leave the handle alone.
    EXPECT_FALSE(watcher.Handle(Removal(kDisplayName)));
    EXPECT_FALSE(watcher.Handle(
        Removal("\\\\?\\USB#vid_5131&pid_2007#1-4#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")));
    EXPECT_FALSE(watcher.Handle(Removal("VID_5131&PID_2007#1-4")));
    EXPECT_FALSE(watcher.Handle(Arrival(kHidName, "")));
    EXPECT_TRUE(hid.hasDevice());
    EXPECT_EQ(watcher.rebuilds(), 0);

    EXPECT_TRUE(watcher.Handle(Removal(kHidName)));
    EXPECT_FALSE(hid.hasDevice());
    const auto calls = fake_hid::Functions();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "hid_exit"), 1);
    EXPECT_EQ(fake_hid::OpenHandles(), 0);

    // The next cycle opens the display afresh.
    hid.SendHidReport(45, 12, 3600, 1250, 65, 50, 3, 1500, 800, 20);
    EXPECT_TRUE(hid.hasDevice());
    EXPECT_EQ(fake_hid::Misuses(), 0);
}

// ---- the kernel's own events ----

// Asks the kernel to announce a "change" of a device that every Linux machine has, tagged with
// a made-up id so the test knows its own event. False where sysfs is not writable.
bool TriggerSyntheticUevent(const std::string& uuid) {
    std::ofstream trigger("/sys/devices/virtual/mem/null/uevent");
    trigger << "change " << uuid << " TQVTEST=1";
    trigger.flush();
    return static_cast<bool>(trigger);
}

TEST(UeventListener, ReceivesTheKernelsEvents) {
    platform::UeventListener listener;
    if (!listener.Open())
        GTEST_SKIP() << "no kernel uevent socket here (netlink not allowed)";
    const std::string uuid = "6b1f0c1e-7a3d-4c7e-9f2a-" + std::to_string(100000000000 + ::getpid());
    if (!TriggerSyntheticUevent(uuid)) {
        GTEST_SKIP() << "cannot write a uevent file (needs root and writable sysfs)";
    }
    const auto deadline = Clock::now() + seconds(5);
    bool seen = false;
    while (!seen && Clock::now() < deadline) {
        platform::Uevent event;
        const auto r = listener.Wait(event, milliseconds(500));
        ASSERT_NE(r, platform::UeventListener::WaitResult::Error);
        if (r != platform::UeventListener::WaitResult::Event)
            continue;
        if (event.Value("SYNTH_UUID") != uuid)
            continue;
        seen = true;
        EXPECT_EQ(event.action, "change");
        EXPECT_EQ(event.devpath, "/devices/virtual/mem/null");
        EXPECT_EQ(event.Value("SUBSYSTEM"), "mem");
        EXPECT_EQ(event.Value("SYNTH_ARG_TQVTEST"), "1");
    }
    EXPECT_TRUE(seen) << "the kernel's event did not arrive";
}

TEST(UeventListener, WaitsAreBoundedAndInterruptible) {
    platform::UeventListener listener;
    if (!listener.Open())
        GTEST_SKIP() << "no kernel uevent socket here (netlink not allowed)";

    platform::Uevent event;
    auto start = Clock::now();
    const auto r = listener.Wait(event, milliseconds(100));
    EXPECT_TRUE(r == platform::UeventListener::WaitResult::Timeout ||
                r == platform::UeventListener::WaitResult::Event);
    EXPECT_LT(Clock::now() - start, seconds(2));

    std::thread interrupter([&] {
        std::this_thread::sleep_for(milliseconds(100));
        listener.Interrupt();
    });
    start = Clock::now();
    platform::UeventListener::WaitResult result;
    do {
        result = listener.Wait(event, seconds(10));
    } while (result == platform::UeventListener::WaitResult::Event);
    EXPECT_EQ(result, platform::UeventListener::WaitResult::Interrupted);
    EXPECT_LT(Clock::now() - start, seconds(2));
    interrupter.join();
    // Stays interrupted.
    EXPECT_EQ(listener.Wait(event, seconds(10)), platform::UeventListener::WaitResult::Interrupted);

    platform::UeventListener closed;
    EXPECT_EQ(closed.Wait(event, milliseconds(10)), platform::UeventListener::WaitResult::Error);
}

TEST(DeviceWatcher, StartsAndStopsPromptly) {
    fake_hid::Reset();
    DeviceLink link;
    std::atomic<bool> present{false};
    HidDisplay hid;
    DeviceWatcher watcher({link, present, hid, {}});
    if (!watcher.Start())
        GTEST_SKIP() << "no kernel uevent socket here (netlink not allowed)";
    std::this_thread::sleep_for(milliseconds(50));
    const auto start = Clock::now();
    watcher.Stop();
    EXPECT_LT(Clock::now() - start, seconds(1));
    watcher.Stop();
}

}  // namespace
}  // namespace tqv
