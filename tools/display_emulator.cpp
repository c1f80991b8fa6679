// display-emulator: a serial TFT display on a pseudo-terminal, for working without the hardware
// and for the tests.
//
// It opens a pseudo-terminal, prints its path as the first line of standard output, answers
// the handshake frame (with 0x5C unless told otherwise), checks every frame it receives and
// prints each one decoded, one line per frame. Misbehaviours are chosen on the command line.
// It also decodes 65-byte HID reports given as hex (--decode-hid).
//
// Output lines (one per event, fields as key=value, raw bytes as lower-case hex):
//   /dev/pts/N                                           the pseudo-terminal, always first
//   FRAME cmd=handshake answer=5c raw=...                answer=none when it stays silent
//   FRAME cmd=show device=cpu kind=1 quantity=temperature value=45 unit=C orientation=0 raw=...
//   FRAME cmd=animation raw=...
//   FRAME cmd=off raw=...
//   BAD reason=header|trailer|checksum|command|layout|short raw=...
//   HANGUP received=N                                    after --hangup-after
//   EXIT reason=signal|idle|error
//   HID cpu_temp=45 cpu_load=12 cpu_clock=3600 cpu_fan=1250 cpu_power=65 gpu_temp=50 ...
//   BAD reason=hid-hex|hid-length|hid-header|hid-padding ...
// Temperatures are printed signed (a slot of FF FB is -5), every other value unsigned.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFrameSize = 18;
constexpr std::uint8_t kHeader = 0xC5;
constexpr std::uint8_t kTrailer = 0x01;
constexpr std::size_t kHidSize = 65;

struct Options {
    Bytes answer{0x5C};
    bool silent = false;
    int answerDelayMs = 0;
    long long hangupAfter = -1;
    bool busy = false;
    std::string link;
    int idleExitMs = -1;
    int frameGapMs = 200;
    bool decodeHid = false;
    std::vector<std::string> hidReports;
};

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string Hex(const Bytes& bytes) {
    return Hex(bytes.data(), bytes.size());
}

// Hex text to bytes; blanks, ':' and a "0x" before a byte are allowed. Nothing on a stray
// character or an odd digit count.
std::optional<Bytes> ParseHex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ':' || c == ',' || c == '\r' || c == '\n') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        if (high < 0 && c == '0' && i + 1 < text.size() &&
            (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

// ---- serial frames ----------------------------------------------------------------------

struct KindInfo {
    const char* quantity;
    const char* unit;
    std::size_t slot;
};

std::optional<KindInfo> Kind(unsigned kind) {
    switch (kind) {
        case 0:
            return KindInfo{"clock", "MHz", 3};
        case 1:
            return KindInfo{"temperature", "C", 5};
        case 2:
            return KindInfo{"temperature", "F", 7};
        case 4:
            return KindInfo{"fan", "RPM", 10};
        case 5:
            return KindInfo{"power", "W", 12};
        case 6:
            return KindInfo{"load", "%", 14};
        default:
            return std::nullopt;
    }
}

constexpr std::array<std::size_t, 6> kSlots{3, 5, 7, 10, 12, 14};

enum class Verdict { Handshake, Ok, Bad };

struct Decoded {
    Verdict verdict;
    std::string line;
};

// Checks one complete 18-byte frame that starts with the header byte.
Decoded DecodeFrame(const std::uint8_t* b) {
    const std::string raw = " raw=" + Hex(b, kFrameSize);
    if (b[16] != kTrailer)
        return {Verdict::Bad, "BAD reason=trailer" + raw};
    unsigned sum = 0;
    for (std::size_t i = 0; i < 17; ++i)
        sum += b[i];
    if ((sum & 0xFF) != b[17])
        return {Verdict::Bad, "BAD reason=checksum" + raw};

    auto slotsZero = [&](std::size_t except) {
        for (std::size_t s : kSlots) {
            if (s != except && (b[s] != 0 || b[s + 1] != 0))
                return false;
        }
        return true;
    };
    const std::uint8_t command = b[1];
    const std::uint8_t state = b[9];
    if (command == 0x00 || command == 0x01 || command == 0x03) {
        const std::uint8_t expectedState = command == 0x00 ? 0x01 : 0x02;
        if (command == 0x00 && state == 0x02)
            return {Verdict::Bad, "BAD reason=command" + raw};
        if (state != expectedState || b[2] != 0 || !slotsZero(0)) {
            return {Verdict::Bad, "BAD reason=layout" + raw};
        }
        if (command == 0x00)
            return {Verdict::Ok, "FRAME cmd=off" + raw};
        if (command == 0x03)
            return {Verdict::Ok, "FRAME cmd=animation" + raw};
        return {Verdict::Handshake, "FRAME cmd=handshake"};
    }
    if ((command & 0x0F) != 0x02 || (command >> 4) > 3) {
        return {Verdict::Bad, "BAD reason=command" + raw};
    }
    const unsigned orientation = command >> 4;
    const unsigned selector = b[2];
    const auto kind = Kind(selector & 0x0F);
    if (state != 0x02 || (selector >> 4) > 1 || !kind || !slotsZero(kind->slot)) {
        return {Verdict::Bad, "BAD reason=layout" + raw};
    }
    const unsigned bits = static_cast<unsigned>(b[kind->slot]) << 8 | b[kind->slot + 1];
    const long value = std::string_view(kind->quantity) == "temperature"
                           ? static_cast<long>(static_cast<std::int16_t>(bits))
                           : static_cast<long>(bits);
    std::string line = "FRAME cmd=show device=";
    line += (selector & 0x10) ? "gpu" : "cpu";
    line += " kind=" + std::to_string(selector & 0x0F);
    line += std::string(" quantity=") + kind->quantity;
    line += " value=" + std::to_string(value);
    line += std::string(" unit=") + kind->unit;
    line += " orientation=" + std::to_string(orientation);
    return {Verdict::Ok, line + raw};
}

// Splits the received byte stream into frames. A frame starts at a header byte and is 18 bytes
// long; bytes before a header are reported as one BAD line, a frame that fails its checks is
// reported and the search for the next header resumes inside it, and a frame whose remaining
// bytes do not come within the frame gap is reported as short.
class FrameReader {
  public:
    explicit FrameReader(const Options& options) : options_(options) {}

    // Returns true for each handshake seen, so the caller can answer it.
    void Feed(std::uint8_t byte, Clock::time_point now, std::vector<std::string>& handshakes) {
        lastByte_ = now;
        if (pending_.empty() && byte != kHeader) {
            garbage_.push_back(byte);
            return;
        }
        FlushGarbage();
        pending_.push_back(byte);
        if (pending_.size() == kFrameSize)
            Check(handshakes);
    }

    // Reports a partial frame (or stray bytes) that the gap has made stale.
    void Expire(Clock::time_point now) {
        if (!HasPartial() || now < lastByte_ + std::chrono::milliseconds(options_.frameGapMs)) {
            return;
        }
        FlushGarbage();
        if (!pending_.empty()) {
            PrintLine("BAD reason=short raw=" + Hex(pending_));
            pending_.clear();
        }
    }

    // Reports whatever is left, at exit.
    void Finish() {
        FlushGarbage();
        if (!pending_.empty())
            PrintLine("BAD reason=short raw=" + Hex(pending_));
        pending_.clear();
    }

    bool HasPartial() const { return !pending_.empty() || !garbage_.empty(); }
    Clock::time_point GapDeadline() const {
        return lastByte_ + std::chrono::milliseconds(options_.frameGapMs);
    }

  private:
    void FlushGarbage() {
        if (garbage_.empty())
            return;
        PrintLine("BAD reason=header raw=" + Hex(garbage_));
        garbage_.clear();
    }

    void Check(std::vector<std::string>& handshakes) {
        Decoded d = DecodeFrame(pending_.data());
        if (d.verdict == Verdict::Bad) {
            PrintLine(d.line);
            // Resume at the next header byte inside the rejected frame, if any.
            const auto next = std::find(pending_.begin() + 1, pending_.end(), kHeader);
            pending_.erase(pending_.begin(), next);
            if (pending_.size() == kFrameSize)
                Check(handshakes);
            return;
        }
        const std::string raw = " raw=" + Hex(pending_);
        pending_.clear();
        if (d.verdict == Verdict::Handshake) {
            std::string answer = options_.silent || options_.answer.empty() ? std::string("none")
                                                                            : Hex(options_.answer);
            PrintLine(d.line + " answer=" + answer + raw);
            handshakes.push_back(answer);
            return;
        }
        PrintLine(d.line);
    }

    const Options& options_;
    Bytes pending_;
    Bytes garbage_;
    Clock::time_point lastByte_{};
};

// ---- HID reports ------------------------------------------------------------------------

bool DecodeHid(std::string_view text) {
    const auto bytes = ParseHex(text);
    if (!bytes) {
        PrintLine("BAD reason=hid-hex");
        return false;
    }
    const Bytes& b = *bytes;
    if (b.size() != kHidSize) {
        PrintLine("BAD reason=hid-length size=" + std::to_string(b.size()));
        return false;
    }
    if (b[0] != 0x00 || b[1] != 0x40) {
        PrintLine("BAD reason=hid-header raw=" + Hex(b.data(), 2));
        return false;
    }
    for (std::size_t i = 18; i < kHidSize; ++i) {
        if (b[i] != 0) {
            PrintLine("BAD reason=hid-padding offset=" + std::to_string(i));
            return false;
        }
    }
    auto u16 = [&](std::size_t i) {
        return std::to_string(static_cast<unsigned>(b[i]) << 8 | b[i + 1]);
    };
    auto s8 = [&](std::size_t i) {
        return std::to_string(static_cast<int>(static_cast<std::int8_t>(b[i])));
    };
    auto u8 = [&](std::size_t i) { return std::to_string(static_cast<unsigned>(b[i])); };
    PrintLine("HID cpu_temp=" + s8(2) + " cpu_load=" + u8(3) + " cpu_clock=" + u16(4) +
              " cpu_fan=" + u16(6) + " cpu_power=" + u16(8) + " gpu_temp=" + s8(10) + " gpu_load=" +
              u8(11) + " gpu_clock=" + u16(12) + " gpu_fan=" + u16(14) + " gpu_power=" + u16(16));
    return true;
}

int RunHidDecoder(const Options& options) {
    bool allGood = true;
    if (!options.hidReports.empty()) {
        for (const auto& report : options.hidReports)
            allGood = DecodeHid(report) && allGood;
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            allGood = DecodeHid(line) && allGood;
        }
    }
    return allGood ? 0 : 1;
}

// ---- the pseudo-terminal ------------------------------------------------------------------

void Usage(std::FILE* to) {
    std::fputs(
        "Usage: display-emulator [options]\n"
        "       display-emulator --decode-hid [HEX ...]\n"
        "Emulates a serial TFT display on a pseudo-terminal whose path is printed first;\n"
        "then prints every received frame decoded, one line per frame.\n"
        "  --answer HEX         bytes sent in answer to a handshake (default 5c)\n"
        "  --no-answer          never answer a handshake\n"
        "  --answer-delay MS    answer only after MS milliseconds (a slow display)\n"
        "  --hangup-after N     hang up after receiving N bytes, as an unplugged display\n"
        "  --busy               keep the port open and locked, as another program would\n"
        "  --link PATH          make PATH a symbolic link to the pseudo-terminal while running\n"
        "  --idle-exit MS       exit after MS milliseconds without receiving anything\n"
        "  --frame-gap MS       report a partial frame as short after MS (default 200)\n"
        "  --decode-hid [HEX]   decode 65-byte HID reports given as hex (as arguments, else one\n"
        "                       per line of standard input) and exit\n"
        "Stops on SIGTERM or SIGINT.\n",
        to);
}

bool ParseInt(const char* text, long long min, long long max, long long& out) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

// Parses the command line; returns an exit status to stop with, or nothing to run.
std::optional<int> ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--answer") {
            const char* v = value();
            auto bytes = v ? ParseHex(v) : std::nullopt;
            if (!bytes || bytes->empty()) {
                std::fputs("display-emulator: --answer needs hex bytes\n", stderr);
                return 2;
            }
            o.answer = *bytes;
        } else if (arg == "--no-answer") {
            o.silent = true;
        } else if (arg == "--answer-delay" && ParseInt(value(), 0, 600000, n)) {
            o.answerDelayMs = static_cast<int>(n);
        } else if (arg == "--hangup-after" && ParseInt(value(), 0, LLONG_MAX, n)) {
            o.hangupAfter = n;
        } else if (arg == "--busy") {
            o.busy = true;
        } else if (arg == "--link") {
            const char* v = value();
            if (v == nullptr || *v == '\0') {
                std::fputs("display-emulator: --link needs a path\n", stderr);
                return 2;
            }
            o.link = v;
        } else if (arg == "--idle-exit" && ParseInt(value(), 1, 86400000, n)) {
            o.idleExitMs = static_cast<int>(n);
        } else if (arg == "--frame-gap" && ParseInt(value(), 1, 600000, n)) {
            o.frameGapMs = static_cast<int>(n);
        } else if (arg == "--decode-hid") {
            o.decodeHid = true;
            while (i + 1 < argc)
                o.hidReports.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr, "display-emulator: bad option '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

struct PendingAnswer {
    Clock::time_point due;
};

int RunEmulator(const Options& options) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("display-emulator: pseudo-terminal");
        return 1;
    }
    const char* name = ::ptsname(master);
    if (name == nullptr) {
        std::perror("display-emulator: ptsname");
        return 1;
    }
    const std::string path = name;
    // Our own descriptor of the terminal side keeps the pseudo-terminal alive between the
    // program's openings (without one, the controller side reports a hang-up) and makes it raw
    // from the start, so nothing is echoed before the program configures the port.
    int terminal = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        std::perror("display-emulator: open terminal side");
        return 1;
    }
    termios tio{};
    if (::tcgetattr(terminal, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(terminal, TCSANOW, &tio);
    }
    if (options.busy) {
        ::flock(terminal, LOCK_EX | LOCK_NB);
        ::ioctl(terminal, TIOCEXCL);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
        if (::symlink(path.c_str(), options.link.c_str()) != 0) {
            std::perror("display-emulator: --link");
            return 1;
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    ::signal(SIGPIPE, SIG_IGN);

    PrintLine(path);

    FrameReader reader(options);
    std::deque<PendingAnswer> answers;
    long long received = 0;
    auto lastActivity = Clock::now();
    std::string exitReason = "signal";
    bool hungUp = false;
    std::array<std::uint8_t, 512> buffer;

    auto cleanUp = [&]() {
        if (!options.link.empty())
            ::unlink(options.link.c_str());
        ::close(terminal);
        ::close(master);
    };

    for (;;) {
        const auto now = Clock::now();
        Clock::time_point wake = now + std::chrono::hours(1);
        if (!answers.empty())
            wake = std::min(wake, answers.front().due);
        if (reader.HasPartial())
            wake = std::min(wake, reader.GapDeadline());
        if (options.idleExitMs > 0) {
            wake = std::min(wake, lastActivity + std::chrono::milliseconds(options.idleExitMs));
        }
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        std::array<pollfd, 2> fds{{{master, POLLIN, 0}, {signalFd, POLLIN, 0}}};
        const int r = ::poll(fds.data(), signalFd >= 0 ? 2 : 1,
                             static_cast<int>(std::clamp<long long>(waitMs, 0, INT_MAX)));
        if (r < 0 && errno != EINTR) {
            exitReason = "error";
            break;
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            exitReason = "signal";
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0) {
                const auto at = Clock::now();
                lastActivity = at;
                std::vector<std::string> handshakes;
                for (ssize_t i = 0; i < n; ++i) {
                    reader.Feed(buffer[static_cast<std::size_t>(i)], at, handshakes);
                    ++received;
                    if (options.hangupAfter >= 0 && received >= options.hangupAfter) {
                        hungUp = true;
                        break;
                    }
                }
                if (hungUp)
                    break;
                for (const auto& a : handshakes) {
                    if (a != "none") {
                        answers.push_back({at + std::chrono::milliseconds(options.answerDelayMs)});
                    }
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                exitReason = "error";
                break;
            }
        } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            // Not expected while our own terminal descriptor is open; never spin on it.
            ::usleep(20000);
        }
        const auto after = Clock::now();
        while (!answers.empty() && answers.front().due <= after) {
            answers.pop_front();
            if (!options.silent) {
                [[maybe_unused]] ssize_t w =
                    ::write(master, options.answer.data(), options.answer.size());
            }
        }
        reader.Expire(after);
        if (options.idleExitMs > 0 &&
            after >= lastActivity + std::chrono::milliseconds(options.idleExitMs)) {
            exitReason = "idle";
            break;
        }
    }

    if (hungUp) {
        reader.Finish();
        PrintLine("HANGUP received=" + std::to_string(received));
        cleanUp();
        return 0;
    }
    reader.Finish();
    PrintLine("EXIT reason=" + exitReason);
    cleanUp();
    return exitReason == "error" ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = ParseOptions(argc, argv, options))
        return *status;
    if (options.decodeHid)
        return RunHidDecoder(options);
    return RunEmulator(options);
}
