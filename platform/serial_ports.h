// The serial ports of this machine: listing the present ones from sysfs, and opening one as the
// display link uses it.
//
// Which ttys are listed: every entry of <sysfs>/class/tty that has hardware behind it (a
// "device" link; the virtual consoles, ptys and the like have none), except the placeholder
// nodes that the serial core creates for UARTs it did not find (their "type" reads 0, as the
// ttyS1 to ttyS31 of a machine with one or no UART do). That covers USB CDC ports (ttyACM*),
// USB serial adapters (ttyUSB*) and platform UARTs (ttyS*, ttyAMA*, ...).
//
// The human-readable name of a port holds its kernel name in parentheses:
//   - a port on a USB device: "<USB product string> (ttyACM0)", or "USB Serial Device (ttyACM0)"
//     when the device reports no product string;
//   - any other port: "Communications Port (ttyS0)".
// Parentheses inside a product string are written as square brackets and control characters as
// spaces, so a device's own text can never hide the port name from the name rule of the link.
//
// Ports are listed in natural order of their kernel names (ttyACM2 before ttyACM10), so the
// order does not depend on the order in which sysfs happens to return its entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace tqv::platform {

// The beginning of every kernel serial port name; the listing's name rule keeps only names that
// begin with it.
inline constexpr char kSerialPortPrefix[] = "tty";

struct SerialPortInfo {
    std::string name;          // kernel name, "ttyACM0"
    std::string friendlyName;  // "Display (ttyACM0)"
    bool usb = false;          // a USB device is behind the port
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string usbSerial;   // the USB device's serial number string, when it has one
    std::string devicePath;  // the USB device's folder below the sysfs root ("/devices/...")
};

// Appends the present serial ports to `out`, in natural order of their names. A machine without
// a tty class folder simply has no ports. False when the folder exists but cannot be read to its
// end (what was found before stays in `out`). The sysfs root is platform::SysfsRoot().
bool ListSerialPorts(std::vector<SerialPortInfo>& out);

// The device file a listed name opens: a name with a '/' (a path the user gave) is used as it
// is; a kernel name is looked up in the device folder, "/dev" or $TQV_DEVFS_ROOT.
std::string SerialPortPath(const std::string& name);

// The device folder: "/dev", or $TQV_DEVFS_ROOT when set and not empty.
std::string DevfsRoot();

// Per-byte and fixed parts of the bound on one write, in milliseconds.
inline constexpr int kWriteMsPerByte = 100;
inline constexpr int kWriteConstantMs = 500;

// Opens the character device at `path` for reading and writing, exclusively (an advisory lock
// that no second opener gets, and TIOCEXCL), and configures it: raw, 115200 baud, 8 data bits,
// no parity, one stop bit, no software flow control; reads return at once with what has
// arrived; writes are bounded by kWriteMsPerByte per byte plus kWriteConstantMs. Pending input
// and output are discarded. Null when the path cannot be opened, is not a character device, or
// is held by another opener. The configuration's own results are not examined: a device that
// opens but is not a terminal still gets its handshake, and does not answer it.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path);

}  // namespace tqv::platform
