// The sensor library's parsers on what kernels really print, including truncated and garbled
// input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sdk/sensors_conf.h"
#include "sdk/text_parsers.h"

namespace tqv::sdk {
namespace {

using namespace std::string_literals;

TEST(CpuinfoTest, NameComesFromTheFieldEachArchitectureUses) {
    struct Case {
        const char* cpuinfo;
        const char* name;
    } cases[] = {
        {"processor\t: 0\nmodel name\t: AMD   Ryzen 7 2700X  Eight-Core Processor\ncpu MHz\t: 1\n",
         "AMD Ryzen 7 2700X Eight-Core Processor"},
        // Arm: no model name; "Model" (boards) or "Hardware" at the end of the file.
        {"processor\t: 0\nBogoMIPS\t: 108.00\n\nHardware\t: BCM2835\nModel\t\t: Raspberry Pi 4 "
         "Model B\n",
         "Raspberry Pi 4 Model B"},
        {"processor\t: 0\nCPU part\t: 0xd08\n\nHardware\t: Qualcomm Technologies, Inc SM8250\n",
         "Qualcomm Technologies, Inc SM8250"},
        // POWER: "cpu" but never "cpu MHz" or "cpu family".
        {"processor\t: 0\ncpu family\t: 6\ncpu MHz\t: 3000\ncpu\t\t: POWER9 (raw), altivec "
         "supported\n",
         "POWER9 (raw), altivec supported"},
        {"processor\t: 0\nhart\t\t: 1\nuarch\t\t: sifive,u74-mc\n", "sifive,u74-mc"},
        {"model name\t:\nmodel name\t: second\n", "second"},
        {"", ""},
        {"no colon here\n\x01\x02garbage", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CpuNameFromCpuinfo(c.cpuinfo), c.name) << c.cpuinfo;
}

TEST(CpuinfoTest, ClockIsTheFirstCpuMhz) {
    EXPECT_DOUBLE_EQ(*CpuMhzFromCpuinfo("model name : x\ncpu MHz\t\t: 2096.005\ncpu MHz : 1.0\n"),
                     2096.005);
    EXPECT_FALSE(CpuMhzFromCpuinfo("model name : x\n"));
    EXPECT_FALSE(CpuMhzFromCpuinfo("cpu MHz : fast\n"));
    EXPECT_FALSE(CpuMhzFromCpuinfo("cpu MHz : 0.000\n"));
    EXPECT_FALSE(CpuMhzFromCpuinfo("cpu MHz : nan\n"));
}

TEST(CpuStatTest, BusyLeavesOutIdleAndIowaitAndCountsGuestOnce) {
    // user nice system idle iowait irq softirq steal guest guest_nice
    auto times = ParseCpuStat("cpu  100 10 50 800 40 5 5 0 70 0\ncpu0 1 1 1 1 1 1 1 1 1 1\n");
    ASSERT_TRUE(times);
    EXPECT_EQ(times->total, 1010u);
    EXPECT_EQ(times->busy, 170u);
    // Old kernels print only four values.
    auto old = ParseCpuStat("cpu 10 0 10 80\n");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->total, 100u);
    EXPECT_EQ(old->busy, 20u);
}

TEST(CpuStatTest, GarbageGivesNothing) {
    for (const char* text : {"", "cpu\n", "cpu 1 2\n", "cpu0 1 2 3 4 5\n", "cpu a b c d e\n",
                             "cpu -1 2 3 4 5\n", "intr 1 2 3\n"}) {
        EXPECT_FALSE(ParseCpuStat(text)) << text;
    }
}

TEST(CpuStatTest, LoadBetweenSamples) {
    EXPECT_DOUBLE_EQ(*LoadBetween({100, 1000}, {400, 2000}), 30.0);
    EXPECT_DOUBLE_EQ(*LoadBetween({100, 1000}, {100, 2000}), 0.0);
    EXPECT_FALSE(LoadBetween({100, 1000}, {100, 1000}));  // no time passed
    EXPECT_FALSE(LoadBetween({100, 1000}, {50, 900}));    // counters went back
}

TEST(DiskStatsTest, IoTicksOfTheNamedDiskOnly) {
    std::string stats =
        "   7       0 loop0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
        " 259       0 nvme0n1 31208 8046 2748386 4800 11708 6703 985488 2795 0 8632 8436 0 0 0 0\n"
        " 259       1 nvme0n1p1 100 0 0 0 0 0 0 0 0 77 0 0 0 0 0\n"
        "   8       0 sdb 1 2 3\n";
    EXPECT_EQ(DiskIoTicks(stats, "nvme0n1"), 8632u);
    EXPECT_EQ(DiskIoTicks(stats, "nvme0n1p1"), 77u);
    EXPECT_FALSE(DiskIoTicks(stats, "nvme0"));
    EXPECT_FALSE(DiskIoTicks(stats, "sdb"));  // truncated line
    EXPECT_FALSE(DiskIoTicks("", "sda"));
}

TEST(DiskStatsTest, BusyPercentOverElapsedTime) {
    EXPECT_DOUBLE_EQ(*BusyPercent(1000, 1250, 1000000), 25.0);
    EXPECT_DOUBLE_EQ(*BusyPercent(1000, 1250, 500000), 50.0);
    EXPECT_DOUBLE_EQ(*BusyPercent(1000, 9000, 1000000), 100.0);  // never above 100
    EXPECT_FALSE(BusyPercent(1000, 1250, 0));
    EXPECT_FALSE(BusyPercent(1250, 1000, 1000000));
}

TEST(MemoryTest, KernelTotalReadsAsTheInstalledSize) {
    struct Case {
        std::uint64_t memTotalKb;
        std::int32_t megabytes;
    } cases[] = {
        {24683676, 24576},  // this kind of VM: 24 GB
        {16318412, 16384},   {15995084, 16384}, {32602104, 32768}, {65957012, 65536},
        {7995084, 8192},     {12198376, 12288}, {3911680, 4096},   {1013360, 1024},
        {132007936, 131072}, {16777216, 16384},  // exactly 16 GiB stays 16 GiB
        {20447232, 20480},   {49492992, 49152}, {6081536, 6144},   {1, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InstalledMegabytesFromKernelTotal(c.memTotalKb), c.megabytes) << c.memTotalKb;
    }
    EXPECT_EQ(InstalledMegabytesFromKernelTotal(0), -1);
    EXPECT_EQ(MemTotalKb("MemTotal:       24683676 kB\nMemFree: 1 kB\n"), 24683676u);
    EXPECT_FALSE(MemTotalKb("MemFree: 1 kB\n"));
    EXPECT_FALSE(MemTotalKb("MemTotal: lots kB\n"));
}

// A memory device record as the kernel exports it: 0x28 bytes of fields, then the strings.
std::string MemoryRecord(unsigned size, unsigned char type, std::uint32_t extended,
                         const std::string& maker) {
    std::string raw(0x28, '\0');
    raw[0] = 17;
    raw[1] = 0x28;
    raw[0x0C] = static_cast<char>(size & 0xFF);
    raw[0x0D] = static_cast<char>(size >> 8);
    raw[0x10] = 1;
    raw[0x12] = static_cast<char>(type);
    raw[0x17] = 2;
    for (int i = 0; i < 4; ++i)
        raw[0x1C + i] = static_cast<char>(extended >> (8 * i));
    return raw + "DIMM_A1"s + '\0' + maker + '\0' + '\0';
}

TEST(MemoryTest, MemoryDeviceRecords) {
    struct Case {
        const char* what;
        std::string raw;
        bool installed;
        std::uint64_t megabytes;
        int type;
        const char* maker;
    } cases[] = {
        {"DDR4 16 GB", MemoryRecord(16384, 0x1A, 0, "Kingston"), true, 16384, 0x1A, "Kingston"},
        {"size in KB", MemoryRecord(0x8000 | 0x7C00, 0x18, 0, "Crucial"), true, 31, 0x18,
         "Crucial"},
        {"extended size", MemoryRecord(0x7FFF, 0x22, 65536, "Samsung"), true, 65536, 0x22,
         "Samsung"},
        {"empty slot", MemoryRecord(0, 0x02, 0, "NO DIMM"), false, 0, 0x02, "NO DIMM"},
        {"unknown size", MemoryRecord(0xFFFF, 0x1A, 0, "A"), false, 0, 0x1A, "A"},
        {"placeholder maker", MemoryRecord(8192, 0x1A, 0, "Unknown"), true, 8192, 0x1A, ""},
        {"maker blanks", MemoryRecord(8192, 0x1A, 0, "  G Skill   Intl "), true, 8192, 0x1A,
         "G Skill Intl"},
    };
    for (const auto& c : cases) {
        auto module = ParseMemoryDevice(c.raw);
        ASSERT_TRUE(module) << c.what;
        EXPECT_EQ(module->installed, c.installed) << c.what;
        EXPECT_EQ(module->smbiosType, c.type) << c.what;
        if (c.installed) {
            EXPECT_EQ(module->megabytes, c.megabytes) << c.what;
            EXPECT_EQ(module->manufacturer, c.maker) << c.what;
        }
    }
}

TEST(MemoryTest, BrokenRecordsAreRefusedOrCut) {
    std::string good = MemoryRecord(8192, 0x1A, 0, "Kingston");
    EXPECT_FALSE(ParseMemoryDevice(""));
    EXPECT_FALSE(ParseMemoryDevice(good.substr(0, 0x10)));
    std::string otherType = good;
    otherType[0] = 16;
    EXPECT_FALSE(ParseMemoryDevice(otherType));
    std::string longerThanData = good.substr(0, 0x28);
    longerThanData[1] = static_cast<char>(0x80);
    EXPECT_FALSE(ParseMemoryDevice(longerThanData));
    // Strings cut off without their closing NULs, or a string number past the set.
    auto cut = ParseMemoryDevice(good.substr(0, 0x28 + 3));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->manufacturer, "");
    std::string farIndex = good;
    farIndex[0x17] = 9;
    auto far = ParseMemoryDevice(farIndex);
    ASSERT_TRUE(far);
    EXPECT_EQ(far->manufacturer, "");
}

TEST(MemoryTest, KindCodes) {
    EXPECT_EQ(MemoryKindCode(0x18), 9);   // DDR3
    EXPECT_EQ(MemoryKindCode(0x1D), 9);   // LPDDR3
    EXPECT_EQ(MemoryKindCode(0x1A), 10);  // DDR4
    EXPECT_EQ(MemoryKindCode(0x1E), 11);  // LPDDR4
    // Never shown as DDR3 or DDR4:
    EXPECT_EQ(MemoryKindCode(0x22), 12);  // DDR5
    EXPECT_EQ(MemoryKindCode(0x23), 13);  // LPDDR5
    EXPECT_EQ(MemoryKindCode(0x13), 0);   // DDR2
    EXPECT_EQ(MemoryKindCode(0x02), 0);   // unknown
}

TEST(CounterTest, EnergyCounterWrapsAtItsRange) {
    constexpr std::uint64_t kRange = 262143328850;
    EXPECT_EQ(CounterDelta(1000, 65001000, kRange), 65000000u);
    EXPECT_EQ(CounterDelta(kRange - 10000000, 55000000, kRange), 65000000u);
    EXPECT_EQ(CounterDelta(kRange, 0, kRange), 0u);
    EXPECT_FALSE(CounterDelta(5000, 1000, 0));             // went back, range unknown
    EXPECT_FALSE(CounterDelta(kRange + 5, 1000, kRange));  // a reading above the range
}

TEST(DmiTextTest, PlaceholdersAreDropped) {
    EXPECT_EQ(CleanDmiText("  ASUSTeK COMPUTER INC. "), "ASUSTeK COMPUTER INC.");
    for (const char* placeholder : {"To be filled by O.E.M.", "Default string", "Not Specified",
                                    "unknown", "System Product Name", "   "}) {
        EXPECT_EQ(CleanDmiText(placeholder), "") << placeholder;
    }
    EXPECT_EQ(JoinNonEmpty("LENOVO", "21AHCTO1WW"), "LENOVO 21AHCTO1WW");
    EXPECT_EQ(JoinNonEmpty("", "21AHCTO1WW"), "21AHCTO1WW");
    EXPECT_EQ(JoinNonEmpty("LENOVO", ""), "LENOVO");
}

}  // namespace
}  // namespace tqv::sdk

namespace tqv::sdk {
namespace {

TEST(ComputeLinesTest, ExpressionsEvaluateAsLibsensorsDoes) {
    struct Case {
        const char* text;
        double value;
        double expected;
    } cases[] = {
        {"@*2", 700, 1400},
        {" @ / 2 ", 700, 350},
        {"((6.8/10)+1)*@", 10, 16.8},
        {"-@+100", 30, 70},
        {"@-5*2", 20, 10},  // * before -
        {"(@-32)/1.8", 212, 100},
        {"^0", 0, 1},  // e to the power
        {"`1", 0, 0},  // natural logarithm
        {"2*-@", 3, -6},
    };
    for (const auto& c : cases) {
        auto expression = ComputeExpression::Parse(c.text);
        ASSERT_TRUE(expression) << c.text;
        EXPECT_NEAR(expression->Evaluate(c.value), c.expected, 1e-9) << c.text;
    }
    // Other features' names and broken text are left to libsensors.
    for (const char* text : {"@-temp2", "", "(@*2", "@*", "2 3", "@**2", "1..2*@"}) {
        EXPECT_FALSE(ComputeExpression::Parse(text)) << text;
    }
}

TEST(ComputeLinesTest, TheLastMatchingComputeLineApplies) {
    ComputeLines lines;
    lines.Parse(
        "# comment\n"
        "chip \"it87-*\" \"it8688-*\" \\\n"
        "     \"nct6798-*\"\n"
        "    compute fan2 @*2, @/2   # board halves it\n"
        "    label fan2 \"CPU Fan\"\n"
        "chip \"nct6798-isa-0290\"\n"
        "    compute fan2 @*3 , @/3\n"
        "    compute in0 ((6.8/10)+1)*@, @/((6.8/10)+1)\n"
        "chip \"lm75-*\"\n"
        "    compute \"temp1\" @+1, @-1\n"
        "chip \"broken\n");
    EXPECT_EQ(lines.Expression("it8688-isa-0a30", "fan2"), " @*2");
    EXPECT_EQ(lines.Expression("nct6798-isa-0290", "fan2"), " @*3 ");
    EXPECT_EQ(lines.Expression("nct6798-isa-0a30", "fan2"), " @*2");
    EXPECT_EQ(lines.Expression("nct6798-isa-0290", "in0"), " ((6.8/10)+1)*@");
    EXPECT_FALSE(lines.Expression("it8688-isa-0a30", "fan1"));
    EXPECT_FALSE(lines.Expression("coretemp-isa-0000", "fan2"));
    EXPECT_TRUE(lines.Expression("lm75-i2c-3-48", "temp1"));
}

}  // namespace
}  // namespace tqv::sdk
