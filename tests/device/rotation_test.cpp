// The display item rotation: pacing, search order, the display-off frame, the temperature unit
// and the settings that steer it, observed as the frames that reach a port.
#include "device/rotation.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <string>
#include <vector>

#include "device/serial_frame.h"
#include "tests/device/test_serial_port.h"

namespace tqv {
namespace {

using test::AddPort;
using test::Bytes;
using test::Hex;
using test::RecordingPort;

const ItemReadings kReadings{.cpuClockMhz = 3600,
                             .cpuTempC = 45,
                             .cpuFanRpm = 1250,
                             .cpuPowerW = 65,
                             .cpuLoadPct = 12,
                             .gpuClockMhz = 1500,
                             .gpuTempC = 50,
                             .gpuFanRpm = 800,
                             .gpuPowerW = 20,
                             .gpuLoadPct = 3};

DisplaySettings AllOn(std::uint8_t speed = 0, std::uint8_t orientation = 0) {
    DisplaySettings s;
    s.showCpuTemp = s.showCpuFreq = s.showCpuFan = s.showCpuPower = s.showCpuLoad = 1;
    s.showGpuTemp = s.showGpuFreq = s.showGpuFan = s.showGpuPower = s.showGpuLoad = 1;
    s.displayOn = 1;
    s.animation = 1;
    s.rotationSpeed = speed;
    s.orientation = orientation;
    return s;
}

DisplaySettings NoneOn(std::uint8_t speed = 2) {
    DisplaySettings s;
    s.rotationSpeed = speed;
    return s;
}

// Names a frame by what it shows, read from the bytes alone: "Off", "Anim", or the item whose
// selector it carries; the temperature items name their unit ("CpuTemp/C", "GpuTemp/F").
std::string Describe(const std::vector<std::uint8_t>& f) {
    if (f.size() != SerialFrame::kSize)
        return "bad-size";
    if (f[1] == 0x00 && f[9] == 0x01)
        return "Off";
    if (f[1] == 0x03)
        return "Anim";
    static const std::map<std::uint8_t, std::string> kBySelector = {
        {0x01, "CpuTemp/C"}, {0x02, "CpuTemp/F"}, {0x00, "CpuFreq"},   {0x04, "CpuFan"},
        {0x05, "CpuPower"},  {0x06, "CpuLoad"},   {0x11, "GpuTemp/C"}, {0x12, "GpuTemp/F"},
        {0x10, "GpuFreq"},   {0x14, "GpuFan"},    {0x15, "GpuPower"},  {0x16, "GpuLoad"}};
    auto it = kBySelector.find(f[2]);
    return it == kBySelector.end() ? "unknown" : it->second;
}

// A rotation over a link with one open port; Step runs one cycle and names what it sent
// ("-" for nothing).
struct Rig {
    DeviceLink link;
    RecordingPort* port = AddPort(link, 0);
    DisplayRotation rotation;

    explicit Rig(const DisplaySettings& settings, std::uint8_t unit = kUnitCelsius) {
        rotation.SetTemperatureUnit(unit);
        rotation.ApplyDisplaySettings(unit, settings);
    }
    std::vector<std::vector<std::uint8_t>> StepFrames(const ItemReadings& r = kReadings) {
        const std::size_t before = port->Writes().size();
        rotation.RotateItem(link, r);
        auto all = port->Writes();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
    std::string Step() {
        auto frames = StepFrames();
        if (frames.empty())
            return "-";
        if (frames.size() > 1)
            return "several";
        return Describe(frames[0]);
    }
    // Runs `cycles` cycles and names what each sent.
    std::vector<std::string> Run(int cycles) {
        std::vector<std::string> out;
        for (int i = 0; i < cycles; ++i)
            out.push_back(Step());
        return out;
    }
};

TEST(Rotation, FullPassVisitsTheTwelveSlotsInOrderEveryFifthCycle) {
    Rig rig(AllOn(0, 0));
    std::vector<std::vector<std::uint8_t>> sent;
    for (int cycle = 1; cycle <= 65; ++cycle) {
        auto frames = rig.StepFrames();
        if (cycle % 5 == 0) {
            ASSERT_EQ(frames.size(), 1u) << "cycle " << cycle;
            sent.push_back(frames[0]);
        } else {
            ASSERT_TRUE(frames.empty()) << "cycle " << cycle;
        }
    }
    std::vector<std::string> names;
    for (const auto& f : sent)
        names.push_back(Describe(f));
    EXPECT_EQ(names, (std::vector<std::string>{"CpuTemp/C", "CpuFreq", "CpuFan", "CpuPower",
                                               "CpuLoad", "Anim", "GpuTemp/C", "GpuFreq", "GpuFan",
                                               "GpuPower", "GpuLoad", "Anim", "CpuTemp/C"}));
    // Each value frame carries its own reading.
    EXPECT_EQ(sent[0], Hex("C5 02 01 00 00 00 2D 00 00 02 00 00 00 00 00 00 01 F8"));
    EXPECT_EQ(sent[1], Bytes(BuildFrame(2, 3600, Code(ValueKind::Clock), false, 0)));
    EXPECT_EQ(sent[2], Bytes(BuildFrame(2, 1250, Code(ValueKind::Fan), false, 0)));
    EXPECT_EQ(sent[3], Bytes(BuildFrame(2, 65, Code(ValueKind::Power), false, 0)));
    EXPECT_EQ(sent[4], Bytes(BuildFrame(2, 12, Code(ValueKind::Load), false, 0)));
    EXPECT_EQ(sent[5], Hex("C5 03 00 00 00 00 00 00 00 02 00 00 00 00 00 00 01 CB"));
    EXPECT_EQ(sent[6], Bytes(BuildFrame(2, 50, Code(ValueKind::TempCelsius), true, 0)));
    EXPECT_EQ(sent[7], Bytes(BuildFrame(2, 1500, Code(ValueKind::Clock), true, 0)));
    EXPECT_EQ(sent[8], Bytes(BuildFrame(2, 800, Code(ValueKind::Fan), true, 0)));
    EXPECT_EQ(sent[9], Bytes(BuildFrame(2, 20, Code(ValueKind::Power), true, 0)));
    EXPECT_EQ(sent[10], Bytes(BuildFrame(2, 3, Code(ValueKind::Load), true, 0)));
    EXPECT_EQ(sent[11], sent[5]);
}

struct SequenceCase {
    const char* name;
    DisplaySettings settings;
    std::uint8_t unit;
    std::vector<std::string> steps;  // what each cycle sends at speed 2
};

DisplaySettings With(std::initializer_list<std::uint8_t DisplaySettings::*> fields,
                     std::uint8_t value = 1) {
    DisplaySettings s = NoneOn(2);
    for (auto field : fields)
        s.*field = value;
    return s;
}

const SequenceCase kSequences[] = {
    {"all_off_sends_display_off", NoneOn(2), kUnitCelsius, {"Off", "Off", "Off"}},
    {"only_cpu_temp_every_second_step",
     With({&DisplaySettings::showCpuTemp}),
     kUnitCelsius,
     {"CpuTemp/C", "-", "CpuTemp/C", "-", "CpuTemp/C"}},
    {"cpu_temp_with_animation_has_no_empty_step",
     With({&DisplaySettings::showCpuTemp, &DisplaySettings::animation}),
     kUnitCelsius,
     {"CpuTemp/C", "Anim", "Anim", "CpuTemp/C", "Anim", "Anim", "CpuTemp/C"}},
    {"cpu_load_shown_gpu_load_skipped",
     With({&DisplaySettings::showCpuLoad}),
     kUnitCelsius,
     {"CpuLoad", "-", "CpuLoad"}},
    {"only_gpu_load",
     With({&DisplaySettings::showGpuLoad}),
     kUnitCelsius,
     {"GpuLoad", "-", "GpuLoad"}},
    // A flag of 2 enables nothing but keeps the display on: nothing at all is sent.
    {"flag_2_alone_sends_nothing",
     With({&DisplaySettings::showCpuFan}, 2),
     kUnitCelsius,
     {"-", "-", "-", "-"}},
    {"animation_flag_2_alone_sends_nothing",
     With({&DisplaySettings::animation}, 2),
     kUnitCelsius,
     {"-", "-", "-"}},
    {"fahrenheit_items",
     With({&DisplaySettings::showCpuTemp, &DisplaySettings::showGpuTemp}),
     kUnitFahrenheit,
     {"CpuTemp/F", "GpuTemp/F", "-", "CpuTemp/F"}},
    // Unit 2: the temperature items use up their step without a frame.
    {"unit_2_temperature_steps_are_empty",
     With({&DisplaySettings::showCpuTemp, &DisplaySettings::showCpuFreq,
           &DisplaySettings::showGpuTemp}),
     2,
     {"-", "CpuFreq", "-", "-", "-", "CpuFreq"}},
};

class RotationSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(RotationSequence, SendsTheExpectedItemPerStep) {
    const SequenceCase& c = GetParam();
    Rig rig(c.settings, c.unit);
    EXPECT_EQ(rig.Run(static_cast<int>(c.steps.size())), c.steps);
}

INSTANTIATE_TEST_SUITE_P(Settings, RotationSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Rotation, FlagOf2AmongOthersIsSkipped) {
    DisplaySettings s = With({&DisplaySettings::showCpuTemp, &DisplaySettings::showCpuPower});
    s.showCpuFreq = 2;
    Rig rig(s);
    EXPECT_EQ(rig.Run(4), (std::vector<std::string>{"CpuTemp/C", "CpuPower", "-", "CpuTemp/C"}));
    EXPECT_FALSE(rig.rotation.displayOff());
}

TEST(Rotation, UnitTwoStillSendsAllOtherItems) {
    Rig rig(AllOn(2), 2);
    EXPECT_EQ(rig.Run(12),
              (std::vector<std::string>{"-", "CpuFreq", "CpuFan", "CpuPower", "CpuLoad", "Anim",
                                        "-", "GpuFreq", "GpuFan", "GpuPower", "GpuLoad", "Anim"}));
    EXPECT_EQ(rig.rotation.index(), 0);
}

struct PacingCase {
    std::uint8_t speed;
    std::vector<int> dueCycles;  // within the first 15
};

TEST(Rotation, SpeedPacesTheFrames) {
    const PacingCase cases[] = {{0, {5, 10, 15}},
                                {1, {3, 6, 9, 12, 15}},
                                {2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
                                {3, {}},
                                {255, {}}};
    for (const auto& c : cases) {
        for (const DisplaySettings& base : {AllOn(c.speed), NoneOn(c.speed)}) {
            DisplaySettings s = base;
            s.rotationSpeed = c.speed;
            Rig rig(s);
            std::vector<int> due;
            for (int cycle = 1; cycle <= 15; ++cycle) {
                if (rig.Step() != "-")
                    due.push_back(cycle);
            }
            EXPECT_EQ(due, c.dueCycles) << "speed " << int(c.speed);
        }
    }
}

TEST(Rotation, ChangingSpeedKeepsTheCountAndNeverStalls) {
    // Four cycles at speed 0, then speed 1: the count already exceeds three, so the next cycle
    // is due.
    Rig rig(AllOn(0));
    EXPECT_EQ(rig.Run(4), (std::vector<std::string>(4, "-")));
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(1));
    EXPECT_EQ(rig.Step(), "CpuTemp/C");

    // A long stretch at a speed that is never due, then a valid speed: frames resume at once.
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(7));
    rig.Run(1000);
    EXPECT_EQ(rig.rotation.counter(), 1000);
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(0));
    EXPECT_EQ(rig.Step(), "CpuFreq");
    EXPECT_EQ(rig.rotation.counter(), 0);
}

TEST(Rotation, DisplayOffLeavesTheIndexAndSettingsChangesResumeFromIt) {
    Rig rig(AllOn(2));
    EXPECT_EQ(rig.Run(3), (std::vector<std::string>{"CpuTemp/C", "CpuFreq", "CpuFan"}));
    EXPECT_EQ(rig.rotation.index(), 3);
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, NoneOn(2));
    EXPECT_TRUE(rig.rotation.displayOff());
    EXPECT_EQ(rig.Run(2), (std::vector<std::string>{"Off", "Off"}));
    EXPECT_EQ(rig.rotation.index(), 3);
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(2));
    EXPECT_EQ(rig.Step(), "CpuPower");
}

TEST(Rotation, DisablingTheCurrentItemMovesToTheNextEnabledOne) {
    Rig rig(AllOn(2));
    EXPECT_EQ(rig.Step(), "CpuTemp/C");
    ASSERT_EQ(rig.rotation.index(), 1);  // points at CpuFreq
    DisplaySettings s = AllOn(2);
    s.showCpuFreq = 0;
    s.showCpuFan = 0;
    rig.rotation.ApplyDisplaySettings(kUnitCelsius, s);
    EXPECT_EQ(rig.Step(), "CpuPower");
}

TEST(Rotation, LastSlotWrapsTheIndexToZero) {
    Rig rig(With({&DisplaySettings::animation}));
    EXPECT_EQ(rig.Run(2), (std::vector<std::string>{"Anim", "Anim"}));
    EXPECT_EQ(rig.rotation.index(), 0);  // Animation2 was slot 11
    EXPECT_EQ(rig.Step(), "Anim");
    EXPECT_EQ(rig.rotation.index(), 6);
}

TEST(Rotation, OrientationOfTheSettingsGoesIntoEveryValueFrame) {
    for (std::uint8_t orientation : {0, 1, 2, 3, 4}) {
        Rig rig(AllOn(2, orientation));
        for (int i = 0; i < 12; ++i) {
            auto frames = rig.StepFrames();
            ASSERT_EQ(frames.size(), 1u);
            const std::uint8_t expected =
                (i == 5 || i == 11) ? 0x03 : (orientation <= 3 ? (orientation << 4) | 2 : 0x00);
            EXPECT_EQ(frames[0][1], expected)
                << "orientation " << int(orientation) << " slot " << i;
        }
    }
}

TEST(Rotation, ApplyDisplaySettingsMapsBytesToItemsAndIgnoresItsUnit) {
    DisplaySettings s;
    auto bytes = s.Bytes();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(10 + i);
    s = DisplaySettings::FromBytes(bytes);
    DisplayRotation rotation;
    rotation.SetTemperatureUnit(kUnitCelsius);
    rotation.ApplyDisplaySettings(kUnitFahrenheit, s);
    EXPECT_EQ(rotation.itemFlags(),
              (std::array<std::uint8_t, 12>{10, 11, 12, 13, 14, 22, 15, 16, 17, 18, 19, 22}));
    EXPECT_EQ(rotation.speed(), 21);
    EXPECT_EQ(rotation.settings(), s);
    EXPECT_EQ(rotation.temperatureUnit(), kUnitCelsius);
    EXPECT_FALSE(rotation.displayOff());
    EXPECT_EQ(rotation.counter(), 0);
    EXPECT_EQ(rotation.index(), 0);
}

TEST(Rotation, DisplayOnByteAloneDoesNotPreventDisplayOff) {
    DisplaySettings s = NoneOn(2);
    s.displayOn = 1;
    s.orientation = 3;
    Rig rig(s);
    EXPECT_TRUE(rig.rotation.displayOff());
    auto frames = rig.StepFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Hex("C5 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 01 C7"));
}

TEST(Rotation, WithoutPortsFramesAreTracedAndTheRotationAdvances) {
    DeviceLink link;
    test::TraceRecorder trace;
    DisplayRotation rotation;
    rotation.SetTemperatureUnit(kUnitCelsius);
    rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(2));
    for (int i = 0; i < 3; ++i)
        rotation.RotateItem(link, kReadings);
    EXPECT_EQ(rotation.index(), 3);
    ASSERT_EQ(trace.Lines().size(), 3u);
    EXPECT_EQ(trace.Lines()[0], "c5 02 01 00 00 00 2d 00 00 02 00 00 00 00 00 00 01 f8 \r\n");
}

TEST(Rotation, EveryOpenPortReceivesTheStep) {
    DeviceLink link;
    RecordingPort* a = AddPort(link, 0);
    RecordingPort* b = AddPort(link, 3);
    DisplayRotation rotation;
    rotation.SetTemperatureUnit(kUnitCelsius);
    rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(2));
    rotation.RotateItem(link, kReadings);
    EXPECT_EQ(a->Writes().size(), 1u);
    EXPECT_EQ(b->Writes(), a->Writes());
}

// A port that checks, from another thread, that the link's mutex is held while it is written.
class LockProbePort : public RecordingPort {
  public:
    explicit LockProbePort(DeviceLink& link) : link_(link) {}
    bool Write(const std::uint8_t* data, std::size_t size) override {
        auto free = std::async(std::launch::async, [this] {
            if (!link_.mutex.try_lock())
                return false;
            link_.mutex.unlock();
            return true;
        });
        if (free.get())
            ++unlockedWrites;
        return RecordingPort::Write(data, size);
    }
    int unlockedWrites = 0;

  private:
    DeviceLink& link_;
};

TEST(Rotation, FramesGoOutUnderTheLinkMutex) {
    DeviceLink link;
    link.ports = {"/dev/ttyACM0"};
    auto probe = std::make_unique<LockProbePort>(link);
    LockProbePort* raw = probe.get();
    link.handles[0] = std::move(probe);
    DisplayRotation rotation;
    rotation.SetTemperatureUnit(kUnitCelsius);
    rotation.ApplyDisplaySettings(kUnitCelsius, AllOn(2));
    for (int i = 0; i < 12; ++i)
        rotation.RotateItem(link, kReadings);
    rotation.ApplyDisplaySettings(kUnitCelsius, NoneOn(2));
    rotation.RotateItem(link, kReadings);
    rotation.SendItem(link, DisplayItem::GpuFan, kReadings);
    rotation.SendTemperature(link, 45, true);
    EXPECT_EQ(raw->Writes().size(), 15u);
    EXPECT_EQ(raw->unlockedWrites, 0);
}

struct FahrenheitCase {
    std::int32_t celsius;
    std::int32_t fahrenheit;
};

TEST(SendTemperature, FahrenheitIsComputedInDoubleAndTruncatedTowardZero) {
    const FahrenheitCase cases[] = {
        {45, 113},
        {50, 122},
        {37, 98},
        {100, 212},
        {0, 32},
        {-40, -40},
        {-20, -4},
        {-18, 0},   // -0.4 truncates to 0, not -1
        {-19, -2},  // -2.2
        {1, 33},    // 33.8
        {2147483647, 2147483647},
        {-2147483647 - 1, -2147483647 - 1},  // clamped, no overflow
    };
    for (const auto& c : cases) {
        Rig rig(AllOn(2), kUnitFahrenheit);
        rig.rotation.SendTemperature(rig.link, c.celsius, false);
        ASSERT_EQ(rig.port->Writes().size(), 1u);
        EXPECT_EQ(rig.port->Writes()[0],
                  Bytes(BuildFrame(2, c.fahrenheit, Code(ValueKind::TempFahrenheit), false, 0)))
            << c.celsius;
    }
}

TEST(SendTemperature, GpuFahrenheitOrientation1MatchesTheWireExample) {
    DisplaySettings s = AllOn(2, 1);
    Rig rig(s, kUnitFahrenheit);
    rig.rotation.SendItem(rig.link, DisplayItem::GpuTemp, ItemReadings{.gpuTempC = 45});
    EXPECT_EQ(rig.port->Writes(), std::vector<std::vector<std::uint8_t>>{Hex(
                                      "C5 12 12 00 00 00 00 00 71 02 00 00 00 00 00 00 01 5D")});
}

TEST(SendTemperature, UnitOtherThanCelsiusOrFahrenheitSendsNothing) {
    for (std::uint8_t unit : {2, 3, 255}) {
        Rig rig(AllOn(2), unit);
        rig.rotation.SendTemperature(rig.link, 45, false);
        rig.rotation.SendItem(rig.link, DisplayItem::CpuTemp, kReadings);
        rig.rotation.SendItem(rig.link, DisplayItem::GpuTemp, kReadings);
        EXPECT_TRUE(rig.port->Writes().empty());
        rig.rotation.SendItem(rig.link, DisplayItem::CpuLoad, kReadings);
        EXPECT_EQ(rig.port->Writes().size(), 1u);
    }
}

TEST(SendItem, UnknownItemSendsNothing) {
    Rig rig(AllOn(2));
    rig.rotation.SendItem(rig.link, static_cast<DisplayItem>(12), kReadings);
    rig.rotation.SendItem(rig.link, static_cast<DisplayItem>(255), kReadings);
    EXPECT_TRUE(rig.port->Writes().empty());
}

}  // namespace
}  // namespace tqv
