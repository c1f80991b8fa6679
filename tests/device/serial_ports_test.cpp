// The serial port listing against fixture sysfs trees, and the tty port itself over real
// pseudo-terminals.
#include "platform/serial_ports.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/device/pty_pair.h"
#include "tests/device/sysfs_fixture.h"

namespace tqv {
namespace {

using platform::SerialPortInfo;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<SerialPortInfo> List(bool* complete = nullptr) {
    std::vector<SerialPortInfo> ports;
    const bool ok = platform::ListSerialPorts(ports);
    if (complete)
        *complete = ok;
    return ports;
}

TEST(SerialPortListing, ListsHardwarePortsWithNamesAndUsbIdsLeavingPlaceholdersOut) {
    test::SysfsFixture fx;
    const auto display = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "TFT Display", "A1B2C3");
    fx.AddAcmTty(display, "ttyACM0");
    const auto adapter = fx.AddUsbDevice("1-3", 0x0403, 0x6001, "FT232R USB UART");
    fx.AddUsbSerialTty(adapter, "ttyUSB0");
    const auto bare = fx.AddUsbDevice("1-4", 0x1A86, 0x7523, "");
    fx.AddAcmTty(bare, "ttyACM10");
    const auto branded = fx.AddUsbDevice("1-5", 0x1234, 0x0001, "Vendor(R) Serial (v2)\n");
    fx.AddAcmTty(branded, "ttyACM2");
    fx.AddUart("ttyS0", 4);  // a 16550A that is really there
    for (const char* name : {"ttyS1", "ttyS2", "ttyS3"})
        fx.AddUart(name, 0);
    fx.AddVirtualTty("tty0");
    fx.AddVirtualTty("ptmx");
    fx.AddVirtualTty("console");

    bool complete = false;
    const auto ports = List(&complete);
    EXPECT_TRUE(complete);

    struct Expected {
        const char* name;
        const char* friendlyName;
        bool usb;
        std::uint16_t vendor, product;
        const char* serial;
    };
    const Expected expected[] = {
        {"ttyACM0", "TFT Display (ttyACM0)", true, 0x2E3C, 0x5740, "A1B2C3"},
        {"ttyACM2", "Vendor[R] Serial [v2] (ttyACM2)", true, 0x1234, 0x0001, ""},
        {"ttyACM10", "USB Serial Device (ttyACM10)", true, 0x1A86, 0x7523, ""},
        {"ttyS0", "Communications Port (ttyS0)", false, 0, 0, ""},
        {"ttyUSB0", "FT232R USB UART (ttyUSB0)", true, 0x0403, 0x6001, ""},
    };
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(ports[i].name, expected[i].name);
        EXPECT_EQ(ports[i].friendlyName, expected[i].friendlyName);
        EXPECT_EQ(ports[i].usb, expected[i].usb);
        EXPECT_EQ(ports[i].vendorId, expected[i].vendor);
        EXPECT_EQ(ports[i].productId, expected[i].product);
        EXPECT_EQ(ports[i].usbSerial, expected[i].serial);
    }
    EXPECT_EQ(ports[0].devicePath, display);
    EXPECT_EQ(ports[4].devicePath, adapter);
}

TEST(SerialPortListing, MachineWithoutTtyClassHasNoPorts) {
    test::SysfsFixture fx;
    std::filesystem::remove_all(fx.root() / "class");
    bool complete = false;
    EXPECT_TRUE(List(&complete).empty());
    EXPECT_TRUE(complete);
}

TEST(SerialPortListing, UnreadableTtyClassIsAFailedListing) {
    test::SysfsFixture fx;
    std::filesystem::remove_all(fx.root() / "class" / "tty");
    test::SysfsFixture::Write(fx.root() / "class" / "tty", "not a folder");
    bool complete = true;
    EXPECT_TRUE(List(&complete).empty());
    EXPECT_FALSE(complete);
}

TEST(SerialPortListing, BrokenAttributesNeverLoseThePort) {
    test::SysfsFixture fx;
    const auto dev = fx.AddUsbDevice("2-1", 0x2E3C, 0x5740, "Display");
    fx.AddAcmTty(dev, "ttyACM0");
    // A garbled vendor id: the device is not taken for a USB device, but the port stays.
    test::SysfsFixture::Write(fx.root() / dev.substr(1) / "idVendor", "zz");
    // A serial core port whose type cannot be parsed counts as a placeholder.
    fx.AddUart("ttyS4", 0);
    test::SysfsFixture::Write(fx.root() / "devices/platform/serial8250/serial8250:0/tty/ttyS4/type",
                              "garbage");
    const auto ports = List();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].friendlyName, "Communications Port (ttyACM0)");
    EXPECT_FALSE(ports[0].usb);
}

TEST(SerialPortPath, KernelNamesLiveInTheDeviceFolderAndPathsStayAsGiven) {
    test::SysfsFixture fx;
    EXPECT_EQ(platform::SerialPortPath("ttyACM0"), (fx.dev() / "ttyACM0").string());
    EXPECT_EQ(platform::SerialPortPath("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
    ::unsetenv("TQV_DEVFS_ROOT");
    EXPECT_EQ(platform::SerialPortPath("ttyUSB1"), "/dev/ttyUSB1");
}

// ---- the port over a pseudo-terminal ----

TEST(TtyPort, OpensRaw115200AndDiscardsWhatWasPending) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(::write(pty.controller(), "stale", 5), 5);
    auto port = platform::OpenSerialPort(pty.path());
    ASSERT_NE(port, nullptr);

    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.terminal(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(::cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    std::uint8_t buffer[9] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port->Read(buffer, sizeof buffer), 0) << "pending input was not discarded";
    EXPECT_LT(Clock::now() - start, milliseconds(50)) << "a read must return at once";

    // Bytes pass unchanged in both directions, including the ones a cooked line would eat.
    const std::uint8_t frame[] = {0xC5, 0x0A, 0x0D, 0x11, 0x13, 0x03, 0x7F, 0x00, 0xFF};
    ASSERT_TRUE(port->Write(frame, sizeof frame));
    EXPECT_EQ(pty.Received(), std::string(reinterpret_cast<const char*>(frame), sizeof frame));
    ASSERT_EQ(::write(pty.controller(), frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(port->Read(buffer, sizeof buffer), static_cast<int>(sizeof frame));
    EXPECT_EQ(std::memcmp(buffer, frame, sizeof frame), 0);
}

TEST(TtyPort, IsExclusiveUntilClosed) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto first = platform::OpenSerialPort(pty.path());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(platform::OpenSerialPort(pty.path()), nullptr) << "a second opener got the port";
    first.reset();
    EXPECT_NE(platform::OpenSerialPort(pty.path()), nullptr) << "closing did not free the port";
}

TEST(TtyPort, PortLockedByAnotherOpenerIsRefused) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(::flock(pty.terminal(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(platform::OpenSerialPort(pty.path()), nullptr);
}

TEST(TtyPort, RefusesWhatIsNotACharacterDevice) {
    const auto file =
        std::filesystem::temp_directory_path() / ("tqv-not-a-port-" + std::to_string(::getpid()));
    std::ofstream(file) << "precious";
    EXPECT_EQ(platform::OpenSerialPort(file), nullptr);
    std::string content;
    std::getline(std::ifstream(file), content);
    EXPECT_EQ(content, "precious");
    std::filesystem::remove(file);
    EXPECT_EQ(platform::OpenSerialPort(std::filesystem::temp_directory_path()), nullptr);
    EXPECT_EQ(platform::OpenSerialPort("/nonexistent/ttyACM0"), nullptr);
}

TEST(TtyPort, WriteToAStoppedLineGivesUpAtItsBound) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = platform::OpenSerialPort(pty.path());
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(::tcflow(pty.terminal(), TCOOFF), 0);  // output suspended: nothing can go out
    const std::uint8_t byte = 0xC5;
    const auto start = Clock::now();
    EXPECT_FALSE(port->Write(&byte, 1));
    const auto elapsed = Clock::now() - start;
    // One byte: 100 ms plus 500 ms.
    EXPECT_GE(elapsed, milliseconds(590));
    EXPECT_LT(elapsed, milliseconds(3000));
    ::tcflow(pty.terminal(), TCOON);
}

TEST(TtyPort, UnpluggedLineFailsFastAndDoesNotSpin) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = platform::OpenSerialPort(pty.path());
    ASSERT_NE(port, nullptr);
    pty.CloseController();
    const std::uint8_t frame[18] = {0xC5};
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(port->Write(frame, sizeof frame));
    std::uint8_t buffer[9];
    EXPECT_LE(port->Read(buffer, sizeof buffer), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
}

}  // namespace
}  // namespace tqv
