// Test helper: a small fixture sysfs tree (and a device folder beside it) in a temporary folder,
// laid out as the kernel lays out ttys and their USB devices, with the relative links it uses.
// While the fixture lives, TQV_SYSFS_ROOT and TQV_DEVFS_ROOT point at it.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace tqv::test {

class SysfsFixture {
  public:
    SysfsFixture() {
        std::string pattern = std::filesystem::temp_directory_path() / "tqv-sysfs-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        base_ = pattern;
        root_ = base_ / "sys";
        dev_ = base_ / "dev";
        std::filesystem::create_directories(root_ / "class" / "tty");
        std::filesystem::create_directories(dev_);
        ::setenv("TQV_SYSFS_ROOT", root_.c_str(), 1);
        ::setenv("TQV_DEVFS_ROOT", dev_.c_str(), 1);
    }
    ~SysfsFixture() {
        ::unsetenv("TQV_SYSFS_ROOT");
        ::unsetenv("TQV_DEVFS_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    SysfsFixture(const SysfsFixture&) = delete;
    SysfsFixture& operator=(const SysfsFixture&) = delete;

    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& dev() const { return dev_; }

    // A USB device at bus position `port` ("1-2") under the xHCI controller; returns its devpath
    // ("/devices/pci0000:00/0000:00:14.0/usb1/1-2"). Empty product or serial: no such file.
    std::string AddUsbDevice(const std::string& port, std::uint16_t vendor, std::uint16_t product,
                             const std::string& productName, const std::string& serial = "") {
        const std::string devpath = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
        const auto folder = root_ / devpath.substr(1);
        std::filesystem::create_directories(folder);
        Write(folder / "idVendor", Hex4(vendor));
        Write(folder / "idProduct", Hex4(product));
        if (!productName.empty())
            Write(folder / "product", productName);
        if (!serial.empty())
            Write(folder / "serial", serial);
        return devpath;
    }

    // A CDC ACM port (ttyACM*) on interface 0 of the USB device at `devpath`.
    void AddAcmTty(const std::string& devpath, const std::string& name) {
        const std::string port = devpath.substr(devpath.rfind('/') + 1);
        const std::string iface = devpath + "/" + port + ":1.0";
        const std::string tty = iface + "/tty/" + name;
        MakeTty(tty, "../../../" + port + ":1.0", name);
    }

    // A USB serial adapter port (ttyUSB*): the usb-serial port device sits between the interface
    // and the tty.
    void AddUsbSerialTty(const std::string& devpath, const std::string& name) {
        const std::string port = devpath.substr(devpath.rfind('/') + 1);
        const std::string serialPort = devpath + "/" + port + ":1.0/" + name;
        std::filesystem::create_directories(root_ / serialPort.substr(1));
        MakeTty(serialPort + "/tty/" + name, "../../../" + name, name);
    }

    // A serial core port; `type` 0 is the placeholder of a UART that is not there.
    void AddUart(const std::string& name, int type) {
        const std::string parent = "/devices/platform/serial8250/serial8250:0";
        std::filesystem::create_directories(root_ / parent.substr(1));
        const std::string tty = parent + "/tty/" + name;
        MakeTty(tty, "../../../serial8250:0", name);
        Write(root_ / tty.substr(1) / "type", std::to_string(type));
    }

    // A tty without hardware (a virtual console, ptmx): no device link.
    void AddVirtualTty(const std::string& name) {
        const std::string tty = "/devices/virtual/tty/" + name;
        std::filesystem::create_directories(root_ / tty.substr(1));
        Write(root_ / tty.substr(1) / "dev", "4:1");
        Link(root_ / "class" / "tty" / name, "../../devices/virtual/tty/" + name);
    }

    // Makes <dev>/<name> a link to `target` (an emulator's pseudo-terminal, say).
    void AddDeviceNode(const std::string& name, const std::string& target) {
        Link(dev_ / name, target);
    }

    static void Write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path) << text << "\n";
    }

  private:
    static std::string Hex4(std::uint16_t v) {
        char text[8];
        std::snprintf(text, sizeof text, "%04x", v);
        return text;
    }

    static void Link(const std::filesystem::path& at, const std::string& target) {
        std::error_code ec;
        std::filesystem::remove(at, ec);
        std::filesystem::create_symlink(target, at);
    }

    void MakeTty(const std::string& tty, const std::string& deviceLink, const std::string& name) {
        const auto folder = root_ / tty.substr(1);
        std::filesystem::create_directories(folder);
        Write(folder / "dev", "166:0");
        Link(folder / "device", deviceLink);
        // class/tty/<name> -> ../../devices/...
        Link(root_ / "class" / "tty" / name, "../.." + tty);
    }

    std::filesystem::path base_;
    std::filesystem::path root_;
    std::filesystem::path dev_;
};

}  // namespace tqv::test
