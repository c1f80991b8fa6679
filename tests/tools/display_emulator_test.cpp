// The display emulator as its users see it: a pseudo-terminal that answers the handshake (or
// misbehaves as told), one decoded line per frame, HID reports decoded from hex, and a clean
// stop by signal or idle time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/emulator_process.h"

namespace tqv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair)
        out.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    return out;
}

// The program's side of the pseudo-terminal, opened raw.
class Port {
  public:
    explicit Port(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Port() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever arrives within `wait`.
    std::string Receive(milliseconds wait) {
        std::this_thread::sleep_for(wait);
        std::string out;
        char buffer[64];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            out.append(buffer, n);
        return out;
    }

  private:
    int fd_ = -1;
};

const std::string kHandshake = "C5 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 C9";

TEST(DisplayEmulator, DecodesEveryFrameOnOneLine) {
    struct Case {
        const char* frame;
        const char* line;  // without the raw= field
    };
    const Case cases[] = {
        {"C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F8",
         "FRAME cmd=show device=cpu kind=1 quantity=temperature value=45 unit=C orientation=0"},
        {"C5 12 12 00 00 00 00 00 71 02 00 00 00 00 00 00 01 5D",
         "FRAME cmd=show device=gpu kind=2 quantity=temperature value=113 unit=F orientation=1"},
        {"C5 02 00 0E 10 00 00 00 00 02 00 00 00 00 00 00 01 E8",
         "FRAME cmd=show device=cpu kind=0 quantity=clock value=3600 unit=MHz orientation=0"},
        {"C5 22 14 00 00 00 00 00 00 02 04 E2 00 00 00 00 01 E4",
         "FRAME cmd=show device=gpu kind=4 quantity=fan value=1250 unit=RPM orientation=2"},
        {"C5 02 01 00 00 FF FB 00 00 02 00 00 00 00 00 00 01 C5",
         "FRAME cmd=show device=cpu kind=1 quantity=temperature value=-5 unit=C orientation=0"},
        {"C5 32 05 00 00 00 00 00 00 02 00 00 11 70 00 00 01 80",
         "FRAME cmd=show device=cpu kind=5 quantity=power value=4464 unit=W orientation=3"},
        {"C5 02 16 00 00 00 00 00 00 02 00 00 00 00 00 63 01 43",
         "FRAME cmd=show device=gpu kind=6 quantity=load value=99 unit=% orientation=0"},
        {"C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 C7", "FRAME cmd=off"},
        {"C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB", "FRAME cmd=animation"},
        // Checks that fail.
        {"C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F9", "BAD reason=checksum"},
        {"C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 02 F9", "BAD reason=trailer"},
        // Orientation 4: byte 1 stays 0x00 while byte 9 says "on".
        {"C5 00 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F6", "BAD reason=command"},
        {"C5 07 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CF", "BAD reason=command"},
        {"C5 42 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 38", "BAD reason=command"},
        // Two slots filled; a selector of kind 3; a value in an off frame.
        {"C5 02 01 00 01 00 2D 00 00 02 00 00 00 00 00 00 01 F9", "BAD reason=layout"},
        {"C5 02 03 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CD", "BAD reason=layout"},
        {"C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 01 01 C8", "BAD reason=layout"},
    };
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {}));
    Port port(emulator.path());
    ASSERT_TRUE(port.ok());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.frame);
        const auto bytes = Hex(c.frame);
        ASSERT_EQ(bytes.size(), 18u);
        ASSERT_TRUE(port.Send(bytes));
        const auto lines = emulator.WaitForLines("", i + 1, seconds(2));
        ASSERT_EQ(lines.size(), i + 1);
        std::string raw;
        for (auto b : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", b);
            raw += pair;
        }
        EXPECT_EQ(lines[i], std::string(c.line) + " raw=" + raw);
    }
    // One line per frame, nothing else.
    EXPECT_EQ(emulator.Lines().size(), std::size(cases));
}

TEST(DisplayEmulator, FindsFramesInAStreamWithStrayBytes) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {"--frame-gap", "100"}));
    Port port(emulator.path());
    ASSERT_TRUE(port.ok());
    // Noise, a frame, a broken frame whose last bytes start the next frame's header search,
    // then half a frame that never ends.
    auto stream = Hex("00 11 22");
    for (auto b : Hex("C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB"))
        stream.push_back(b);
    for (auto b : Hex("C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 02 00"))
        stream.push_back(b);
    for (auto b : Hex("C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 C7"))
        stream.push_back(b);
    for (auto b : Hex("C5 02 01"))
        stream.push_back(b);
    ASSERT_TRUE(port.Send(stream));
    const auto lines = emulator.WaitForLines("", 5, seconds(2));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "BAD reason=header raw=001122");
    EXPECT_EQ(lines[1].rfind("FRAME cmd=animation", 0), 0u);
    EXPECT_EQ(lines[2].rfind("BAD reason=trailer", 0), 0u);
    EXPECT_EQ(lines[3].rfind("FRAME cmd=off", 0), 0u);
    EXPECT_EQ(lines[4], "BAD reason=short raw=c50201");
}

TEST(DisplayEmulator, AnswersTheHandshakeAsTold) {
    struct Case {
        std::vector<std::string> args;
        const char* answerField;
        std::string answer;  // what the port receives within 100 ms
    };
    const Case cases[] = {
        {{}, "answer=5c", "\x5c"},
        {{"--answer", "a5"}, "answer=a5", "\xa5"},
        {{"--answer", "5c 01 02"}, "answer=5c0102", "\x5c\x01\x02"},
        {{"--no-answer"}, "answer=none", ""},
        {{"--answer-delay", "400"}, "answer=5c", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answerField);
        test::EmulatorProcess emulator;
        ASSERT_TRUE(emulator.Start(test::kEmulatorPath, c.args));
        Port port(emulator.path());
        ASSERT_TRUE(port.ok());
        ASSERT_TRUE(port.Send(Hex(kHandshake)));
        EXPECT_EQ(port.Receive(milliseconds(100)), c.answer);
        const auto line = emulator.WaitForLine(
            [](const std::string& l) { return l.rfind("FRAME cmd=handshake", 0) == 0; },
            seconds(2));
        ASSERT_TRUE(line);
        EXPECT_NE(line->find(c.answerField), std::string::npos) << *line;
    }
}

TEST(DisplayEmulator, SlowAnswerComesAfterItsDelay) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {"--answer-delay", "300"}));
    Port port(emulator.path());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.Send(Hex(kHandshake)));
    EXPECT_EQ(port.Receive(milliseconds(100)), "");
    EXPECT_EQ(port.Receive(milliseconds(700)), "\x5c");
}

TEST(DisplayEmulator, HangsUpInMidStream) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {"--hangup-after", "27"}));
    Port port(emulator.path());
    ASSERT_TRUE(port.ok());
    auto bytes = Hex(kHandshake);
    for (auto b : Hex("C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB"))
        bytes.push_back(b);
    ASSERT_TRUE(port.Send(bytes));
    ASSERT_EQ(emulator.WaitForExit(seconds(3)), 0);
    const auto& lines = emulator.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("FRAME cmd=handshake", 0), 0u);
    EXPECT_EQ(lines[1], "BAD reason=short raw=c50300000000000000");
    EXPECT_EQ(lines[2], "HANGUP received=27");
    // The line is gone for the program: writes fail at once.
    const std::uint8_t b = 0xC5;
    EXPECT_EQ(::write(port.fd(), &b, 1), -1);
}

TEST(DisplayEmulator, BusyPortCannotBeTaken) {
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {"--busy"}));
    Port port(emulator.path());
    // Root may still open it despite TIOCEXCL; the lock is what it cannot get.
    if (port.ok()) {
        EXPECT_NE(::flock(port.fd(), LOCK_EX | LOCK_NB), 0);
    }
}

TEST(DisplayEmulator, StopsOnSignalsAndWhenIdle) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        test::EmulatorProcess emulator;
        ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {}));
        ::kill(emulator.pid(), sig);
        EXPECT_EQ(emulator.WaitForExit(seconds(3)), 0);
        EXPECT_EQ(emulator.Lines().back(), "EXIT reason=signal");
    }
    test::EmulatorProcess idle;
    const auto start = Clock::now();
    ASSERT_TRUE(idle.Start(test::kEmulatorPath, {"--idle-exit", "200"}));
    EXPECT_EQ(idle.WaitForExit(seconds(3)), 0);
    EXPECT_GE(Clock::now() - start, milliseconds(190));
    EXPECT_EQ(idle.Lines().back(), "EXIT reason=idle");
}

TEST(DisplayEmulator, LinkNamesThePseudoTerminalWhileRunning) {
    const auto link =
        std::filesystem::temp_directory_path() / ("tqv-display-" + std::to_string(::getpid()));
    test::EmulatorProcess emulator;
    ASSERT_TRUE(emulator.Start(test::kEmulatorPath, {"--link", link.string()}));
    EXPECT_EQ(std::filesystem::read_symlink(link), emulator.path());
    ASSERT_EQ(emulator.Stop(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(DisplayEmulator, RejectsBadOptions) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--answer", "xyz"},
                                          {"--answer-delay", "-1"},
                                          {"--hangup-after"},
                                          {"--frobnicate"}}) {
        test::EmulatorProcess emulator;
        EXPECT_FALSE(emulator.Start(test::kEmulatorPath, args, seconds(3)));
        EXPECT_EQ(emulator.WaitForExit(seconds(3)), 2);
    }
}

std::string Zeros(int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += " 00";
    return out;
}

TEST(DisplayEmulator, DecodesHidReports) {
    struct Case {
        std::string report;
        const char* line;
    };
    const Case cases[] = {
        {"00 40 2D 0C 0E 10 04 E2 00 41 32 03 05 DC 03 20 00 14" + Zeros(47),
         "HID cpu_temp=45 cpu_load=12 cpu_clock=3600 cpu_fan=1250 cpu_power=65 gpu_temp=50 "
         "gpu_load=3 gpu_clock=1500 gpu_fan=800 gpu_power=20"},
        // -5 degrees, a load of 300 sent as its low byte, a clock of 70000 as its low 16 bits.
        {"00 40 FB 2C 11 70 00 00 00 00 FB 2C 11 70 00 00 00 00" + Zeros(47),
         "HID cpu_temp=-5 cpu_load=44 cpu_clock=4464 cpu_fan=0 cpu_power=0 gpu_temp=-5 "
         "gpu_load=44 gpu_clock=4464 gpu_fan=0 gpu_power=0"},
        {"0040" + Zeros(62), "BAD reason=hid-length size=64"},
        {"00 41" + Zeros(63), "BAD reason=hid-header raw=0041"},
        {"00 40" + Zeros(62) + " 01", "BAD reason=hid-padding offset=64"},
        {"00 4", "BAD reason=hid-hex"},
        {"zz", "BAD reason=hid-hex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        test::EmulatorProcess decoder;
        ASSERT_TRUE(decoder.Start(test::kEmulatorPath, {"--decode-hid", c.report}));
        // Start() took the first line as the "path"; for the decoder it is the decoded line.
        EXPECT_EQ(decoder.path(), c.line);
        EXPECT_EQ(decoder.WaitForExit(seconds(3)), c.line[0] == 'H' ? 0 : 1);
    }
}

}  // namespace
}  // namespace tqv
