// The HID display: the report's bytes, and when the handle is opened, written, forgotten and
// shut down, observed through the fake hidapi's call log.
#include "device/hid_display.h"

#include <gtest/gtest.h>

#include "tests/device/test_serial_port.h"
#include "tests/fakes/fake_hidapi.h"

namespace tqv {
namespace {

using test::Hex;

struct Values {
    std::int32_t cpuTemp, cpuLoad, cpuClock, cpuFan, cpuPower;
    std::int32_t gpuTemp, gpuLoad, gpuClock, gpuFan, gpuPower;
};

const Values kExample{45, 12, 3600, 1250, 65, 50, 3, 1500, 800, 20};

HidReport Build(const Values& v) {
    return BuildHidReport(v.cpuTemp, v.cpuLoad, v.cpuClock, v.cpuFan, v.cpuPower, v.gpuTemp,
                          v.gpuLoad, v.gpuClock, v.gpuFan, v.gpuPower);
}

void Send(HidDisplay& hid, const Values& v) {
    hid.SendHidReport(v.cpuTemp, v.cpuLoad, v.cpuClock, v.cpuFan, v.cpuPower, v.gpuTemp, v.gpuLoad,
                      v.gpuClock, v.gpuFan, v.gpuPower);
}

// The first 18 bytes; the rest must be zero.
std::vector<std::uint8_t> Head(const std::vector<std::uint8_t>& report) {
    for (std::size_t i = 18; i < report.size(); ++i) {
        EXPECT_EQ(report[i], 0) << "byte " << i;
    }
    return {report.begin(), report.begin() + std::min<std::size_t>(18, report.size())};
}

struct ReportCase {
    const char* name;
    Values values;
    const char* head;  // bytes 0 to 17
};

const ReportCase kReports[] = {
    {"example", kExample, "00 40 2D 0C 0E 10 04 E2 00 41 32 03 05 DC 03 20 00 14"},
    {"zeros",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     "00 40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    // 8-bit fields keep the low 8 bits, 16-bit fields the low 16, high byte first.
    {"gpu_load_300",
     {0, 0, 0, 0, 0, 0, 300, 0, 0, 0},
     "00 40 00 00 00 00 00 00 00 00 00 2C 00 00 00 00 00 00"},
    {"cpu_clock_70000",
     {0, 0, 70000, 0, 0, 0, 0, 0, 0, 0},
     "00 40 00 00 11 70 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"minus_5_temperatures",
     {-5, 0, 0, 0, 0, -5, 0, 0, 0, 0},
     "00 40 FB 00 00 00 00 00 00 00 FB 00 00 00 00 00 00 00"},
    {"minus_1_sixteen_bit",
     {0, 0, -1, -1, -1, 0, 0, -1, -1, -1},
     "00 40 00 00 FF FF FF FF FF FF 00 00 FF FF FF FF FF FF"},
    // Every field distinct, so a swapped field shows.
    {"each_field_in_its_place",
     {1, 2, 0x0304, 0x0506, 0x0708, 9, 10, 0x0B0C, 0x0D0E, 0x0F10},
     "00 40 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"},
    {"extremes",
     {2147483647, -2147483647 - 1, 2147483647, -2147483647 - 1, 65536, 256, 255, 65535, 32768, 0},
     "00 40 FF 00 FF FF 00 00 00 00 00 FF FF FF 80 00 00 00"},
};

class HidReportBytes : public ::testing::TestWithParam<ReportCase> {};

TEST_P(HidReportBytes, MatchByteForByte) {
    const ReportCase& c = GetParam();
    const HidReport report = Build(c.values);
    ASSERT_EQ(report.bytes.size(), 65u);
    EXPECT_EQ(Head({report.bytes.begin(), report.bytes.end()}), Hex(c.head));
}

INSTANTIATE_TEST_SUITE_P(Values, HidReportBytes, ::testing::ValuesIn(kReports),
                         [](const auto& info) { return std::string(info.param.name); });

class HidDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_hid::Reset(); }
    void TearDown() override { fake_hid::Reset(); }
};

TEST_F(HidDisplayTest, WithoutDeviceEveryCycleOpensOnceAndSendsNothing) {
    HidDisplay hid;
    for (int i = 0; i < 3; ++i)
        Send(hid, kExample);
    const auto calls = fake_hid::Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) {
        EXPECT_EQ(call.function, "hid_open");
        EXPECT_EQ(call.vendorId, 0x5131);
        EXPECT_EQ(call.productId, 0x2007);
        EXPECT_FALSE(call.serialGiven);
    }
    EXPECT_FALSE(hid.hasDevice());
}

TEST_F(HidDisplayTest, FirstReportGoesOutTheCycleAfterTheOpen) {
    fake_hid::SetOpenSucceeds(true);
    HidDisplay hid;
    Send(hid, kExample);
    EXPECT_EQ(fake_hid::Functions(), std::vector<std::string>{"hid_open"});
    EXPECT_TRUE(hid.hasDevice());
    Send(hid, kExample);
    Send(hid, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const auto calls = fake_hid::Calls();
    ASSERT_EQ(fake_hid::Functions(),
              (std::vector<std::string>{"hid_open", "hid_write", "hid_write"}));
    EXPECT_EQ(calls[1].device, calls[0].device);
    ASSERT_EQ(calls[1].data.size(), 65u);
    EXPECT_EQ(Head(calls[1].data), Hex("00 40 2D 0C 0E 10 04 E2 00 41 32 03 05 DC 03 20 00 14"));
    EXPECT_EQ(Head(calls[2].data), Hex("00 40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST_F(HidDisplayTest, FailedOpenIsRetriedNextCycle) {
    HidDisplay hid;
    Send(hid, kExample);
    fake_hid::SetOpenSucceeds(true);
    Send(hid, kExample);
    Send(hid, kExample);
    EXPECT_EQ(fake_hid::Functions(),
              (std::vector<std::string>{"hid_open", "hid_open", "hid_write"}));
}

TEST_F(HidDisplayTest, FailedWriteKeepsTheHandle) {
    fake_hid::SetOpenSucceeds(true);
    fake_hid::SetWriteResult(-1);
    HidDisplay hid;
    for (int i = 0; i < 3; ++i)
        Send(hid, kExample);
    EXPECT_EQ(fake_hid::Functions(),
              (std::vector<std::string>{"hid_open", "hid_write", "hid_write"}));
    EXPECT_TRUE(hid.hasDevice());
}

TEST_F(HidDisplayTest, ForgetDeviceClosesShutsDownAndTheNextCycleOpensAgain) {
    fake_hid::SetOpenSucceeds(true);
    HidDisplay hid;
    Send(hid, kExample);
    Send(hid, kExample);
    hid.ForgetDevice();
    EXPECT_FALSE(hid.hasDevice());
    EXPECT_EQ(fake_hid::OpenHandles(), 0);
    Send(hid, kExample);
    Send(hid, kExample);
    EXPECT_EQ(fake_hid::Functions(),
              (std::vector<std::string>{"hid_open", "hid_write", "hid_close", "hid_exit",
                                        "hid_open", "hid_write"}));
    const auto calls = fake_hid::Calls();
    EXPECT_EQ(calls[2].device, calls[0].device);  // the handle that was open is the one closed
    EXPECT_EQ(calls[5].device, calls[4].device);
    EXPECT_EQ(fake_hid::Misuses(), 0);
}

TEST_F(HidDisplayTest, ForgetDeviceWithoutHandleDoesNothing) {
    HidDisplay hid;
    hid.ForgetDevice();
    Send(hid, kExample);  // fails to open
    hid.ForgetDevice();
    EXPECT_EQ(fake_hid::Functions(), std::vector<std::string>{"hid_open"});
}

TEST_F(HidDisplayTest, ShutdownClosesAHeldHandleThenShutsTheLibraryDown) {
    {
        fake_hid::SetOpenSucceeds(true);
        HidDisplay hid;
        Send(hid, kExample);
        hid.Shutdown();
        EXPECT_EQ(fake_hid::Functions(),
                  (std::vector<std::string>{"hid_open", "hid_close", "hid_exit"}));
    }
    EXPECT_EQ(fake_hid::Functions().size(), 3u);  // nothing left for the destructor
    fake_hid::Reset();
    {
        HidDisplay hid;
        hid.Shutdown();
        EXPECT_EQ(fake_hid::Functions(), std::vector<std::string>{"hid_exit"});
    }
    EXPECT_EQ(fake_hid::Misuses(), 0);
}

TEST_F(HidDisplayTest, DestructorReleasesAHandleStillHeld) {
    fake_hid::SetOpenSucceeds(true);
    {
        HidDisplay hid;
        Send(hid, kExample);
        EXPECT_EQ(fake_hid::OpenHandles(), 1);
    }
    EXPECT_EQ(fake_hid::OpenHandles(), 0);
    EXPECT_EQ(fake_hid::Misuses(), 0);
}

}  // namespace
}  // namespace tqv
