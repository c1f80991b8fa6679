// The serial link over real pseudo-terminals, with the display emulator as the display: the
// name rule, the listing into the link, the handshake probe, several displays, rebuilds and
// unplugged displays.
#include "device/serial_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "device/serial_frame.h"
#include "platform/serial_ports.h"
#include "tests/device/sysfs_fixture.h"
#include "tests/tools/emulator_process.h"

namespace tqv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(PortNameRule, FriendlyNamesGiveTheListedNames) {
    struct Case {
        const char* friendlyName;
        const char* listed;  // null: skipped
    };
    const Case cases[] = {
        {"USB Serial Device (ttyACM5)", "ttyACM5"},
        {"Communications Port (ttyS1)", "ttyS1"},        // listed and probed like any other
        {"ttyUSB7", "ttyUSB7"},                          // a bare name
        {"Vendor(R) Serial Over LAN (ttyS3)", nullptr},  // "R) Serial Over LAN (ttyS3"
        {"Device (ttyACM4))", "ttyACM4"},                // every trailing ")" removed
        {"(ttyACM4) extra", "ttyACM4) extra"},           // begins with the prefix: unchanged
        {"", nullptr},
        {"()", nullptr},
        {"Serial (COM3)", nullptr},
        {"Display (TTYACM0)", nullptr},  // the prefix is case-sensitive
        {"Display (", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.friendlyName);
        const auto name = PortNameFromFriendlyName(c.friendlyName);
        if (c.listed == nullptr) {
            EXPECT_FALSE(name.has_value()) << *name;
        } else {
            ASSERT_TRUE(name.has_value());
            EXPECT_EQ(*name, c.listed);
        }
    }
}

TEST(EnumeratePorts, DiscoveredPortsThenTheGivenPathsInOrder) {
    test::SysfsFixture fx;
    fx.AddAcmTty(fx.AddUsbDevice("1-1", 0x2E3C, 0x5740, "Display"), "ttyACM0");
    fx.AddUart("ttyS0", 4);
    fx.AddUart("ttyS1", 0);
    DeviceLink link;
    const std::vector<std::string> extra = {"/dev/serial/by-id/usb-display", "/dev/pts/7"};
    ASSERT_TRUE(EnumeratePorts(link, extra));
    EXPECT_EQ(link.ports, (std::vector<std::string>{
                              "ttyACM0", "ttyS0", "/dev/serial/by-id/usb-display", "/dev/pts/7"}));
}

TEST(EnumeratePorts, StopsAtTheTableSize) {
    test::SysfsFixture fx;
    for (int i = 0; i < 300; ++i)
        fx.AddUart("ttyS" + std::to_string(i), 4);
    DeviceLink link;
    const std::vector<std::string> extra = {"/dev/pts/1"};
    ASSERT_TRUE(EnumeratePorts(link, extra));
    ASSERT_EQ(link.ports.size(), DeviceLink::kSlots);
    EXPECT_EQ(link.ports.front(), "ttyS0");
    EXPECT_EQ(link.ports.back(), "ttyS254");

    // OpenPorts probes no more than the slots hold (these device nodes do not exist).
    std::atomic<bool> present{true};
    EXPECT_FALSE(RebuildSerialLink(link, present, extra));
    EXPECT_EQ(link.ports.size(), DeviceLink::kSlots);
    EXPECT_FALSE(present);
}

TEST(EnumeratePorts, FailedListingLeavesThePortsAndOpensNothing) {
    test::SysfsFixture fx;
    std::filesystem::remove_all(fx.root() / "class" / "tty");
    test::SysfsFixture::Write(fx.root() / "class" / "tty", "broken");
    DeviceLink link;
    link.ports = {"ttyOld"};
    EXPECT_FALSE(EnumeratePorts(link));
    EXPECT_EQ(link.ports, std::vector<std::string>{"ttyOld"});

    test::EmulatorProcess display;
    ASSERT_TRUE(display.Start(test::kEmulatorPath, {}));
    std::atomic<bool> present{true};
    const std::vector<std::string> extra = {display.path()};
    EXPECT_FALSE(RebuildSerialLink(link, present, extra));
    EXPECT_FALSE(present);
    EXPECT_TRUE(link.ports.empty());
    for (const auto& h : link.handles)
        EXPECT_EQ(h, nullptr);
    display.Drain(milliseconds(150));
    EXPECT_TRUE(display.LinesStartingWith("FRAME").empty()) << "a port was probed";
}

TEST(OpenPorts, NoPortPresent) {
    test::SysfsFixture fx;
    fx.AddVirtualTty("tty0");
    fx.AddUart("ttyS0", 0);
    DeviceLink link;
    std::atomic<bool> present{true};
    EXPECT_FALSE(RebuildSerialLink(link, present));
    EXPECT_FALSE(present);
    EXPECT_TRUE(link.ports.empty());
    EXPECT_EQ(link.current, nullptr);
}

// One display on one port, answering (or not) as the emulator's options say.
TEST(OpenPorts, KeepsOnlyPortsWhoseAnswerBeginsWith5C) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool kept;
        bool probed;
    };
    const Case cases[] = {
        {"answers 5c", {}, true, true},
        {"answers 5c and more", {"--answer", "5c0102030405060708090a"}, true, true},
        {"answers another first byte", {"--answer", "a5"}, false, true},
        {"answers 5c second", {"--answer", "005c"}, false, true},
        {"stays silent", {"--no-answer"}, false, true},
        {"answers too late", {"--answer-delay", "400"}, false, true},
        {"is held by another program", {"--busy"}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::SysfsFixture fx;
        test::EmulatorProcess display;
        ASSERT_TRUE(display.Start(test::kEmulatorPath, c.args));
        DeviceLink link;
        std::atomic<bool> present{!c.kept};
        const std::vector<std::string> extra = {display.path()};
        EXPECT_EQ(RebuildSerialLink(link, present, extra), c.kept);
        EXPECT_EQ(present.load(), c.kept);
        ASSERT_EQ(link.ports, extra);
        EXPECT_EQ(link.handles[0] != nullptr, c.kept);
        EXPECT_EQ(link.current, c.kept ? link.handles[0].get() : nullptr);
        const auto handshakes =
            display.WaitForLines("FRAME cmd=handshake", 1, milliseconds(c.probed ? 2000 : 200));
        EXPECT_EQ(handshakes.size(), c.probed ? 1u : 0u);
    }
}

TEST(OpenPorts, DiscoveredDisplayIsFoundThroughTheListing) {
    test::SysfsFixture fx;
    test::EmulatorProcess display;
    ASSERT_TRUE(display.Start(test::kEmulatorPath, {}));
    test::EmulatorProcess other;
    ASSERT_TRUE(other.Start(test::kEmulatorPath, {"--answer", "00"}));
    fx.AddAcmTty(fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display"), "ttyACM0");
    fx.AddDeviceNode("ttyACM0", display.path());
    fx.AddUart("ttyS0", 4);
    fx.AddDeviceNode("ttyS0", other.path());

    DeviceLink link;
    std::atomic<bool> present{false};
    EXPECT_TRUE(RebuildSerialLink(link, present));
    EXPECT_TRUE(present);
    EXPECT_EQ(link.ports, (std::vector<std::string>{"ttyACM0", "ttyS0"}));
    EXPECT_NE(link.handles[0], nullptr);
    EXPECT_EQ(link.handles[1], nullptr);
}

void Broadcast(DeviceLink& link, std::uint8_t command, std::int32_t value, std::uint8_t kind,
               bool gpu, std::uint8_t orientation) {
    std::lock_guard lock(link.mutex);
    SendFrame(command, value, link, kind, gpu, orientation, true);
}

TEST(OpenPorts, TwoDisplaysAreBothKeptAndBothGetEveryBroadcast) {
    test::SysfsFixture fx;
    test::EmulatorProcess first, silent, second;
    ASSERT_TRUE(first.Start(test::kEmulatorPath, {}));
    ASSERT_TRUE(silent.Start(test::kEmulatorPath, {"--no-answer"}));
    ASSERT_TRUE(second.Start(test::kEmulatorPath, {}));
    DeviceLink link;
    std::atomic<bool> present{false};
    const std::vector<std::string> extra = {first.path(), silent.path(), second.path()};
    ASSERT_TRUE(RebuildSerialLink(link, present, extra));
    EXPECT_EQ(link.ports, extra);
    EXPECT_NE(link.handles[0], nullptr);
    EXPECT_EQ(link.handles[1], nullptr);
    EXPECT_NE(link.handles[2], nullptr);

    Broadcast(link, Code(FrameCommand::ShowValue), 45, Code(ValueKind::TempCelsius), false, 0);
    Broadcast(link, Code(FrameCommand::ShowValue), 1250, Code(ValueKind::Fan), true, 2);
    Broadcast(link, Code(FrameCommand::PlayAnimation), 0, 0, false, 0);
    Broadcast(link, Code(FrameCommand::DisplayOff), 0, 0, false, 0);
    EXPECT_TRUE(link.lastWriteOk);

    const std::vector<std::string> expected = {
        "FRAME cmd=show device=cpu kind=1 quantity=temperature value=45 unit=C orientation=0 "
        "raw=c502010000002d00000200000000000001f8",
        "FRAME cmd=show device=gpu kind=4 quantity=fan value=1250 unit=RPM orientation=2 "
        "raw=c522140000000000000204e20000000001e4",
        "FRAME cmd=animation raw=c503000000000000000200000000000001cb",
        "FRAME cmd=off raw=c500000000000000000100000000000001c7",
    };
    for (auto* display : {&first, &second}) {
        auto frames = display->WaitForLines("FRAME", 5, seconds(3));
        ASSERT_EQ(frames.size(), 5u);
        EXPECT_EQ(frames[0].rfind("FRAME cmd=handshake", 0), 0u);
        frames.erase(frames.begin());
        EXPECT_EQ(frames, expected);
        EXPECT_TRUE(display->LinesStartingWith("BAD").empty());
    }
    silent.Drain(milliseconds(100));
    EXPECT_EQ(silent.LinesStartingWith("FRAME").size(), 1u) << "a port left out got frames";
}

TEST(OpenPorts, SecondRebuildClosesEveryHandleOfTheFirstBeforeListing) {
    test::SysfsFixture fx;
    test::EmulatorProcess a, b;
    ASSERT_TRUE(a.Start(test::kEmulatorPath, {}));
    ASSERT_TRUE(b.Start(test::kEmulatorPath, {}));
    DeviceLink link;
    std::atomic<bool> present{false};
    const std::vector<std::string> extra = {a.path(), b.path()};
    ASSERT_TRUE(RebuildSerialLink(link, present, extra));
    // Each kept port holds its lock; the second rebuild can only open them again if the first
    // one's handles are gone.
    ASSERT_TRUE(RebuildSerialLink(link, present, extra));
    EXPECT_NE(link.handles[0], nullptr);
    EXPECT_NE(link.handles[1], nullptr);
    EXPECT_EQ(a.WaitForLines("FRAME cmd=handshake", 2, seconds(2)).size(), 2u);
    EXPECT_EQ(b.WaitForLines("FRAME cmd=handshake", 2, seconds(2)).size(), 2u);

    // A rebuild that finds nothing closes them too: the ports can be taken by someone else.
    ASSERT_FALSE(RebuildSerialLink(link, present));
    EXPECT_FALSE(present);
    for (const auto& h : link.handles)
        EXPECT_EQ(h, nullptr);
    EXPECT_NE(platform::OpenSerialPort(a.path()), nullptr);
}

TEST(OpenPorts, HangUpMidStreamLeavesTheLinkUsableForTheNextRebuild) {
    test::SysfsFixture fx;
    test::EmulatorProcess doomed;
    // The handshake, then half a frame, then the line goes away.
    ASSERT_TRUE(doomed.Start(test::kEmulatorPath, {"--hangup-after", "27"}));
    DeviceLink link;
    std::atomic<bool> present{false};
    ASSERT_TRUE(RebuildSerialLink(link, present, std::vector<std::string>{doomed.path()}));
    Broadcast(link, Code(FrameCommand::PlayAnimation), 0, 0, false, 0);
    ASSERT_EQ(doomed.WaitForExit(seconds(3)), 0);
    ASSERT_EQ(doomed.LinesStartingWith("HANGUP").size(), 1u);

    // The dead port fails fast, stays in the table, and nobody clears serialPresent.
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        Broadcast(link, Code(FrameCommand::ShowValue), 45, Code(ValueKind::TempCelsius), false, 0);
        EXPECT_FALSE(link.lastWriteOk);
    }
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_NE(link.handles[0], nullptr);
    EXPECT_TRUE(present);

    test::EmulatorProcess replugged;
    ASSERT_TRUE(replugged.Start(test::kEmulatorPath, {}));
    ASSERT_TRUE(RebuildSerialLink(link, present, std::vector<std::string>{replugged.path()}));
    EXPECT_TRUE(present);
    Broadcast(link, Code(FrameCommand::PlayAnimation), 0, 0, false, 0);
    EXPECT_TRUE(link.lastWriteOk);
    EXPECT_EQ(replugged.WaitForLines("FRAME cmd=animation", 1, seconds(2)).size(), 1u);
}

}  // namespace
}  // namespace tqv
