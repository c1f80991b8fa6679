// The serial frame: its bytes, its trace line, and how SendFrame reaches the ports of a link.
#include "device/serial_frame.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/device/test_serial_port.h"

namespace tqv {
namespace {

using test::AddPort;
using test::Bytes;
using test::Hex;
using test::PortJournal;
using test::RecordingPort;
using test::TraceRecorder;

constexpr std::uint8_t kOff = Code(FrameCommand::DisplayOff);
constexpr std::uint8_t kHello = Code(FrameCommand::Handshake);
constexpr std::uint8_t kShow = Code(FrameCommand::ShowValue);
constexpr std::uint8_t kAnim = Code(FrameCommand::PlayAnimation);

struct FrameCase {
    const char* name;
    std::uint8_t command;
    std::int32_t value;
    std::uint8_t kind;
    bool gpu;
    std::uint8_t orientation;
    const char* expected;
};

const FrameCase kFrames[] = {
    {"cpu_temp_45_celsius", kShow, 45, Code(ValueKind::TempCelsius), false, 0,
     "C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F8"},
    {"handshake", kHello, 0, 0, false, 0, "C5 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 C9"},
    {"display_off", kOff, 0, 0, false, 0, "C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 C7"},
    {"play_animation", kAnim, 0, 0, false, 0,
     "C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB"},
    {"gpu_temp_113_fahrenheit_orientation_1", kShow, 113, Code(ValueKind::TempFahrenheit), true, 1,
     "C5 12 12 00 00 00 00 00 71 02 00 00 00 00 00 00 01 5D"},
    {"cpu_clock_3600", kShow, 3600, Code(ValueKind::Clock), false, 0,
     "C5 02 00 0E 10 00 00 00 00 02 00 00 00 00 00 00 01 E8"},
    {"gpu_fan_1250_orientation_2", kShow, 1250, Code(ValueKind::Fan), true, 2,
     "C5 22 14 00 00 00 00 00 00 02 04 E2 00 00 00 00 01 E4"},
    {"cpu_load_12_orientation_3", kShow, 12, Code(ValueKind::Load), false, 3,
     "C5 32 06 00 00 00 00 00 00 02 00 00 00 00 00 0C 01 0C"},
    {"gpu_power_65", kShow, 65, Code(ValueKind::Power), true, 0,
     "C5 02 15 00 00 00 00 00 00 02 00 00 00 41 00 00 01 20"},
    {"gpu_temp_50_celsius", kShow, 50, Code(ValueKind::TempCelsius), true, 0,
     "C5 02 11 00 00 00 32 00 00 02 00 00 00 00 00 00 01 0D"},
    // Negative values travel as 16-bit two's complement, larger ones wrap modulo 65536.
    {"minus_5_celsius", kShow, -5, Code(ValueKind::TempCelsius), false, 0,
     "C5 02 01 00 00 FF FB 00 00 02 00 00 00 00 00 00 01 C5"},
    {"minus_1_fan", kShow, -1, Code(ValueKind::Fan), false, 0,
     "C5 02 04 00 00 00 00 00 00 02 FF FF 00 00 00 00 01 CC"},
    {"clock_70000_wraps", kShow, 70000, Code(ValueKind::Clock), false, 0,
     "C5 02 00 11 70 00 00 00 00 02 00 00 00 00 00 00 01 4B"},
    // An orientation outside 0..3 clears byte 1 but still fills selector, slot and state.
    {"orientation_4", kShow, 45, Code(ValueKind::TempCelsius), false, 4,
     "C5 00 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F6"},
    {"orientation_255", kShow, 45, Code(ValueKind::TempCelsius), false, 255,
     "C5 00 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F6"},
    // Kinds without a slot leave selector and slots empty, GPU flag or not.
    {"kind_3_has_no_slot", kShow, 45, 3, false, 0,
     "C5 02 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CA"},
    {"kind_7_has_no_slot", kShow, 45, 7, true, 0,
     "C5 02 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CA"},
    // Commands other than ShowValue ignore value, kind, flag and orientation.
    {"handshake_ignores_arguments", kHello, 45, Code(ValueKind::TempCelsius), true, 2,
     "C5 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 C9"},
    {"animation_ignores_arguments", kAnim, -5, Code(ValueKind::Load), true, 3,
     "C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB"},
    {"display_off_ignores_arguments", kOff, 1250, Code(ValueKind::Fan), true, 1,
     "C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 C7"},
    // An unknown command leaves bytes 1 and 9 at zero.
    {"command_4", 4, 45, Code(ValueKind::TempCelsius), false, 0,
     "C5 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 C6"},
    {"command_255", 255, 0, 0, false, 0, "C5 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 C6"},
};

class FrameBytes : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameBytes, MatchByteForByte) {
    const FrameCase& c = GetParam();
    const SerialFrame frame = BuildFrame(c.command, c.value, c.kind, c.gpu, c.orientation);
    EXPECT_EQ(Bytes(frame), Hex(c.expected));

    // The invariants every frame shares, checked independently of the literal.
    EXPECT_EQ(frame.bytes[0], 0xC5);
    EXPECT_EQ(frame.bytes[16], 0x01);
    unsigned sum = 0;
    for (int i = 0; i < 17; ++i)
        sum += frame.bytes[i];
    EXPECT_EQ(frame.bytes[17], sum % 256);
}

INSTANTIATE_TEST_SUITE_P(AllFrames, FrameBytes, ::testing::ValuesIn(kFrames),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameTrace, IsLowerCaseHexPairsWithTrailingSpaceAndCrLf) {
    const std::string line = FormatFrameTrace(BuildFrame(kShow, 45, 1, false, 0));
    EXPECT_EQ(line, "c5 02 01 00 00 00 2d 00 00 02 00 00 00 00 00 00 01 f8 \r\n");
    EXPECT_EQ(line.size(), 56u);
    EXPECT_EQ(FormatFrameTrace(BuildFrame(kShow, -5, 1, false, 0)),
              "c5 02 01 00 00 ff fb 00 00 02 00 00 00 00 00 00 01 c5 \r\n");
}

const auto kCpuTemp45 = Hex("C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F8");

TEST(SendFrameBroadcast, WritesEveryOpenPortInListOrderAfterOneTrace) {
    DeviceLink link;
    PortJournal journal;
    TraceRecorder trace(&journal);
    RecordingPort* p0 = AddPort(link, 0, &journal);
    RecordingPort* p2 = AddPort(link, 2, &journal);
    RecordingPort* p4 = AddPort(link, 4, &journal);
    ASSERT_EQ(link.ports.size(), 5u);
    link.confirmed = true;

    SendFrame(kShow, 45, link, Code(ValueKind::TempCelsius), false, 0, true);

    EXPECT_EQ(journal.events, (std::vector<std::string>{"trace", "p0:clear", "p0:write", "p2:clear",
                                                        "p2:write", "p4:clear", "p4:write"}));
    for (RecordingPort* p : {p0, p2, p4}) {
        ASSERT_EQ(p->Writes().size(), 1u);
        EXPECT_EQ(p->Writes()[0], kCpuTemp45);
        EXPECT_EQ(p->reads, 0);
    }
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{
                                 "c5 02 01 00 00 00 2d 00 00 02 00 00 00 00 00 00 01 f8 \r\n"});
    EXPECT_TRUE(link.lastWriteOk);
    EXPECT_TRUE(link.confirmed);
}

TEST(SendFrameBroadcast, LastWriteOkHoldsTheLastPortsResultAndConfirmedIsLeftAlone) {
    struct Case {
        bool first, last, expected;
    };
    for (const Case c :
         {Case{false, true, true}, Case{true, false, false}, Case{false, false, false}}) {
        for (bool confirmedBefore : {false, true}) {
            DeviceLink link;
            AddPort(link, 1)->writeResult = c.first;
            AddPort(link, 3)->writeResult = c.last;
            link.lastWriteOk = !c.expected;
            link.confirmed = confirmedBefore;
            SendFrame(kAnim, 0, link, 0, false, 0, true);
            EXPECT_EQ(link.lastWriteOk, c.expected) << c.first << c.last;
            EXPECT_EQ(link.confirmed, confirmedBefore);
        }
    }
}

TEST(SendFrameBroadcast, WithoutOpenPortWritesNothingButStillTraces) {
    for (bool before : {false, true}) {
        DeviceLink link;
        link.ports = {"/dev/ttyACM0", "/dev/ttyUSB0"};
        link.lastWriteOk = before;
        link.confirmed = before;
        TraceRecorder trace;
        SendFrame(kOff, 0, link, 0, false, 0, true);
        EXPECT_EQ(link.lastWriteOk, before);
        EXPECT_EQ(link.confirmed, before);
        EXPECT_EQ(trace.Lines(), std::vector<std::string>{
                                     "c5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 c7 \r\n"});
    }
}

TEST(SendFrameBroadcast, SlotsBeyondTheListAreNotWritten) {
    DeviceLink link;
    RecordingPort* listed = AddPort(link, 0);
    auto stray = std::make_unique<RecordingPort>();
    RecordingPort* strayRaw = stray.get();
    link.handles[1] = std::move(stray);  // ports has one entry only
    SendFrame(kAnim, 0, link, 0, false, 0, true);
    EXPECT_EQ(listed->Writes().size(), 1u);
    EXPECT_TRUE(strayRaw->Writes().empty());
}

TEST(SendFrameBroadcast, ListLongerThanTheHandleTableStaysInBounds) {
    DeviceLink link;
    RecordingPort* lastSlot = AddPort(link, DeviceLink::kSlots - 1);
    for (int i = 0; i < 100; ++i)
        link.ports.push_back("/dev/extra" + std::to_string(i));
    SendFrame(kAnim, 0, link, 0, false, 0, true);
    EXPECT_EQ(lastSlot->Writes().size(), 1u);
}

struct HandshakeCase {
    const char* name;
    bool writeOk;
    bool readFails;
    const char* answer;
    bool confirmed;
};

const HandshakeCase kHandshakes[] = {
    {"answer_5c", true, false, "5C", true},
    {"answer_5c_then_more", true, false, "5C 01 02 03 04 05 06 07 08 09 0A", true},
    {"other_first_byte", true, false, "5D", false},
    {"5c_not_first", true, false, "00 5C", false},
    {"nothing_arrived", true, false, "", false},
    {"read_failed", true, true, "5C", false},
    // The answer decides, even when the write reported a failure.
    {"write_failed_answer_5c", false, false, "5C", true},
    {"write_failed_no_answer", false, false, "", false},
};

class Handshake : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(Handshake, WritesCurrentWaitsReadsAndConfirms) {
    const HandshakeCase& c = GetParam();
    DeviceLink link;
    PortJournal journal;
    TraceRecorder trace(&journal);
    RecordingPort* other = AddPort(link, 0, &journal);
    RecordingPort* current = AddPort(link, 1, &journal);
    current->writeResult = c.writeOk;
    current->readFails = c.readFails;
    current->answer = Hex(c.answer);
    link.current = current;
    link.confirmed = !c.confirmed;
    link.lastWriteOk = !c.writeOk;

    const auto start = std::chrono::steady_clock::now();
    SendFrame(kHello, 0, link, 0, false, 0, false);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(journal.events,
              (std::vector<std::string>{"trace", "p1:clear", "p1:write", "p1:read"}));
    EXPECT_EQ(current->Writes(), std::vector<std::vector<std::uint8_t>>{
                                     Hex("C5 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 C9")});
    EXPECT_EQ(current->lastReadCapacity, 9u);
    EXPECT_TRUE(other->Writes().empty());
    EXPECT_EQ(link.lastWriteOk, c.writeOk);
    EXPECT_EQ(link.confirmed, c.confirmed);
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

INSTANTIATE_TEST_SUITE_P(Answers, Handshake, ::testing::ValuesIn(kHandshakes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HandshakeWithoutPort, FailsAndStillTraces) {
    DeviceLink link;
    RecordingPort* listed = AddPort(link, 0);
    link.lastWriteOk = true;
    link.confirmed = true;
    TraceRecorder trace;
    SendFrame(kHello, 0, link, 0, false, 0, false);
    EXPECT_FALSE(link.lastWriteOk);
    EXPECT_FALSE(link.confirmed);
    EXPECT_TRUE(listed->Writes().empty());
    EXPECT_EQ(trace.Lines().size(), 1u);
}

TEST(SendFrame, TraceIsSilentWhileDebugOutputIsOff) {
    std::vector<std::string> lines;
    platform::SetDebugSink([&](std::string_view line) { lines.emplace_back(line); });
    platform::SetDebugOutputEnabled(false);
    DeviceLink link;
    RecordingPort* port = AddPort(link, 0);
    SendFrame(kAnim, 0, link, 0, false, 0, true);
    platform::SetDebugSink({});
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(port->Writes().size(), 1u);  // the frame itself still goes out
}

// A serial port over the slave side of a real pseudo-terminal, raw and non-blocking, so the
// frame crosses a tty line discipline as it does to the display.
class PtyPort : public platform::SerialPort {
  public:
    explicit PtyPort(int fd) : fd_(fd) {}
    ~PtyPort() override { ::close(fd_); }
    void ClearErrors() override {}
    bool Write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    int Read(std::uint8_t* buffer, std::size_t capacity) override {
        const ssize_t n = ::read(fd_, buffer, capacity);
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        return static_cast<int>(n);
    }

  private:
    int fd_;
};

// The display end of the pseudo-terminal: reads one frame (bounded wait) and, when told to,
// answers after a delay shorter than the handshake's wait.
struct PtyDisplay {
    int master = -1;
    std::vector<std::uint8_t> received;

    void Serve(bool answer) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::uint8_t buf[64];
        while (received.size() < SerialFrame::kSize &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{master, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            received.insert(received.end(), buf, buf + n);
        }
        if (answer) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::uint8_t reply[] = {0x5C, 0x00};
            ASSERT_EQ(::write(master, reply, sizeof reply), 2);
        }
    }
};

void RunPtyHandshake(bool displayAnswers) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        GTEST_SKIP() << "no pseudo-terminals on this machine";
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(slave, &tio), 0);
    ::cfmakeraw(&tio);
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &tio), 0);
    termios mtio{};
    ::tcgetattr(master, &mtio);
    ::cfmakeraw(&mtio);
    ::tcsetattr(master, TCSANOW, &mtio);

    DeviceLink link;
    link.ports = {::ptsname(master)};
    link.handles[0] = std::make_unique<PtyPort>(slave);
    link.current = link.handles[0].get();

    PtyDisplay display{master, {}};
    std::thread far([&] { display.Serve(displayAnswers); });
    SendFrame(kHello, 0, link, 0, false, 0, false);
    far.join();
    ::close(master);

    EXPECT_EQ(display.received, Hex("C5 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 C9"));
    EXPECT_TRUE(link.lastWriteOk);
    EXPECT_EQ(link.confirmed, displayAnswers);
}

TEST(HandshakeOverPseudoTerminal, AnswerDuringTheWaitConfirms) {
    RunPtyHandshake(true);
}

TEST(HandshakeOverPseudoTerminal, SilentDisplayIsNotConfirmed) {
    RunPtyHandshake(false);
}

}  // namespace
}  // namespace tqv
