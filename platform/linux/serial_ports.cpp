#include "platform/serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "platform/file_io.h"
#include "platform/fs_roots.h"
#include "platform/hex.h"

namespace tqv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Contents of a small sysfs attribute without its trailing newline and blanks; empty when it
// cannot be read.
std::string ReadAttribute(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text))
        return {};
    if (text.size() > 4096)
        text.resize(4096);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                             text.back() == '\r' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

// The serial core writes the detected UART model into "type"; 0 means nothing was found there.
bool IsPlaceholderUart(const std::string& entry) {
    const std::string typePath = entry + "/type";
    if (!PathExists(typePath))
        return false;
    const std::string type = ReadAttribute(typePath);
    char* end = nullptr;
    const long value = std::strtol(type.c_str(), &end, 10);
    return type.empty() || *end != '\0' || value == 0;
}

// A device's own text, made safe for the human-readable name: no parentheses, no control
// characters, no surrounding blanks.
std::string CleanLabel(std::string text) {
    for (char& c : text) {
        if (c == '(')
            c = '[';
        if (c == ')')
            c = ']';
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// Walks up from the tty's own folder to the USB device it belongs to (the first ancestor with
// idVendor and idProduct), staying below the sysfs root.
void FindUsbParent(const std::string& resolvedRoot, const std::string& ttyFolder,
                   SerialPortInfo& info) {
    std::string folder = ttyFolder;
    while (folder.size() > resolvedRoot.size() + 1 &&
           folder.compare(0, resolvedRoot.size(), resolvedRoot) == 0) {
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
        if (PathExists(folder + "/idVendor") && PathExists(folder + "/idProduct") &&
            ParseHex16(ReadAttribute(folder + "/idVendor"), vendor) &&
            ParseHex16(ReadAttribute(folder + "/idProduct"), product)) {
            info.usb = true;
            info.vendorId = vendor;
            info.productId = product;
            info.usbSerial = ReadAttribute(folder + "/serial");
            info.devicePath = folder.substr(resolvedRoot.size());
            const std::string label = CleanLabel(ReadAttribute(folder + "/product"));
            info.friendlyName =
                (label.empty() ? std::string("USB Serial Device") : label) + " (" + info.name + ")";
            return;
        }
        const auto slash = folder.rfind('/');
        if (slash == std::string::npos)
            break;
        folder.resize(slash);
    }
}

// Natural order: the name's text part, then its trailing number as a number.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && s[digits - 1] >= '0' && s[digits - 1] <= '9')
            --digits;
        return digits;
    };
    const std::size_t da = split(a);
    const std::size_t db = split(b);
    const int head = a.compare(0, da, b, 0, db);
    if (head != 0)
        return head < 0;
    // Same text part: the shorter number (after leading zeros) is the smaller one.
    auto number = [](const std::string& s, std::size_t from) {
        while (from + 1 < s.size() && s[from] == '0')
            ++from;
        return s.substr(from);
    };
    const std::string na = number(a, da);
    const std::string nb = number(b, db);
    if (na.size() != nb.size())
        return na.size() < nb.size();
    if (na != nb)
        return na < nb;
    return a < b;
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string out = resolved;
    std::free(resolved);
    return out;
}

class TtyPort final : public SerialPort {
  public:
    explicit TtyPort(int fd) : fd_(fd) {}
    ~TtyPort() override {
        // Output still queued for a stalled device would make close() wait for the driver's
        // closing time (30 s by default); it is meant for a port that is going away anyway.
        ::tcflush(fd_, TCOFLUSH);
        // The exclusive flag belongs to the tty, not to this descriptor: clear it so that the
        // next opener (our own next rebuild included) is not refused.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // A Linux tty keeps no latched error state that a writer must clear first.
    void ClearErrors() override {}

    bool Write(const std::uint8_t* data, std::size_t size) override {
        const std::size_t boundedSize = std::min<std::size_t>(size, INT_MAX / kWriteMsPerByte);
        const auto deadline =
            Clock::now() +
            std::chrono::milliseconds(static_cast<long long>(boundedSize) * kWriteMsPerByte +
                                      kWriteConstantMs);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // EIO, ENXIO and the like: the device is gone or broken; no point in waiting.
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd_, POLLOUT, 0};
            const int r =
                ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
            if (r < 0 && errno != EINTR)
                return false;
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return false;
        }
        return true;
    }

    int Read(std::uint8_t* buffer, std::size_t capacity) override {
        const std::size_t bounded = std::min<std::size_t>(capacity, INT_MAX);
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, bounded);
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            return -1;
        }
    }

  private:
    int fd_;
};

void Configure(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    ::tcflush(fd, TCIOFLUSH);
}

}  // namespace

std::string DevfsRoot() {
    const char* value = std::getenv("TQV_DEVFS_ROOT");
    std::string root = (value && value[0]) ? value : "/dev";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string SerialPortPath(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    return DevfsRoot() + "/" + name;
}

bool ListSerialPorts(std::vector<SerialPortInfo>& out) {
    const std::string root = SysfsRoot();
    const std::string classFolder = root + "/class/tty";
    DIR* dir = ::opendir(classFolder.c_str());
    if (dir == nullptr)
        return errno == ENOENT;
    const std::string resolvedRoot = RealPath(root);

    std::vector<SerialPortInfo> found;
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            complete = errno == 0;
            break;
        }
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string entryPath = classFolder + "/" + name;
        if (!PathExists(entryPath + "/device"))
            continue;
        if (IsPlaceholderUart(entryPath))
            continue;

        SerialPortInfo info;
        info.name = name;
        const std::string ttyFolder = RealPath(entryPath);
        if (!resolvedRoot.empty() && !ttyFolder.empty())
            FindUsbParent(resolvedRoot, ttyFolder, info);
        if (info.friendlyName.empty())
            info.friendlyName = "Communications Port (" + name + ")";
        found.push_back(std::move(info));
    }
    ::closedir(dir);

    std::sort(found.begin(), found.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return NaturalLess(a.name, b.name);
    });
    for (auto& info : found)
        out.push_back(std::move(info));
    return complete;
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path) {
    // O_NONBLOCK: the open must not wait for a carrier, and reads return at once.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    // Only character devices: a mistyped path to an ordinary file must never be written to.
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    // The advisory lock is what keeps a second opener out even when it runs as root, for which
    // TIOCEXCL does not count.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    Configure(fd);
    return std::make_unique<TtyPort>(fd);
}

}  // namespace tqv::platform
