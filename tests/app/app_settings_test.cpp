// The settings controller on real files: the first start, loading existing files of every kind,
// saving the popup's two settings, and where the settings file lives.
#include "app/app_settings.h"

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/autostart.h"
#include "platform/file_io.h"
#include "tests/app/app_test_support.h"

namespace tqv {
namespace {

using testing::ReadFileText;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFileText;

using Bytes = std::array<std::uint8_t, AppSettings::kKeyCount>;

constexpr const char* kExecutable = "/opt/velkran app/tarquelonvist";

const std::string& kDefaultFile = testing::kDefaultSettingsFile;

// Each test gets its own configuration folder, so the autostart entry lands in it.
class SettingsControllerTest : public ::testing::Test {
  protected:
    std::string EntryPath() const { return dir_ / "config/autostart/Velkran.desktop"; }
    bool EntryExists() const { return platform::PathExists(EntryPath()); }

    TempDir dir_;
    ScopedEnv config_{"XDG_CONFIG_HOME", dir_ / "config"};
    ScopedEnv home_{"HOME", dir_ / "home"};
};

TEST_F(SettingsControllerTest, FirstStartWritesDefaultsAndRegistersAutostart) {
    const std::string path = dir_ / "Setting.ini";
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();

    EXPECT_EQ(ReadFileText(path), kDefaultFile);
    const AppSettings& s = controller.settings();
    EXPECT_EQ(s.temperatureUnit, 1);
    EXPECT_EQ(s.autoStart, 1);
    EXPECT_EQ(s.display.Bytes(),
              (std::array<std::uint8_t, 14>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0}));
    EXPECT_EQ(ReadFileText(EntryPath()), platform::AutostartEntryText(kExecutable));
}

TEST_F(SettingsControllerTest, FirstStartInInstalledLayoutCreatesTheFolder) {
    const std::string path = SettingsPathFor("/usr/bin/", dir_ / "config");
    EXPECT_EQ(path, dir_ / "config/tarquelonvist/Setting.ini");
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();
    EXPECT_EQ(ReadFileText(path), kDefaultFile);
}

TEST_F(SettingsControllerTest, FirstStartThatCannotWriteStillUsesDefaults) {
    // A regular file where the folder should be: neither the file nor its folder can be made.
    WriteFileText(dir_ / "blocker", "");
    SettingsController controller(dir_ / "blocker/Setting.ini", kExecutable);
    controller.LoadSettings();
    EXPECT_EQ(controller.settings(), DefaultAppSettings());
    EXPECT_FALSE(platform::PathExists(dir_ / "blocker/Setting.ini"));
    EXPECT_TRUE(EntryExists());
}

struct LoadCase {
    const char* name;
    std::string file;
    Bytes expected;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadSettingsTest : public SettingsControllerTest,
                         public ::testing::WithParamInterface<LoadCase> {};

// Loading an existing file reads it and touches neither the file nor the autostart entry.
TEST_P(LoadSettingsTest, ReadsEveryKeyAndWritesNothing) {
    const LoadCase& c = GetParam();
    const std::string path = dir_ / "Setting.ini";
    WriteFileText(path, c.file);
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();
    EXPECT_EQ(controller.settings().Bytes(), c.expected);
    EXPECT_EQ(ReadFileText(path), c.file);
    EXPECT_FALSE(EntryExists());
}

const std::string kGarbage("\0\xff[\x01]\n=\n[VELKRAN SETTINGS\nTEMPERATURE=1\n", 40);

std::string WithValue(const char* key, const char* value) {
    return ini::ReplaceValue(kDefaultFile, "VELKRAN SETTINGS", key, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadSettingsTest,
    ::testing::Values(
        LoadCase{"EmptyFile", "", Bytes{}},
        LoadCase{"NoSection", "; nothing here\nTEMPERATURE=1\n[OTHER]\nTFT_OPEN=1\n", Bytes{}},
        LoadCase{"Defaults", kDefaultFile, Bytes{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0}},
        LoadCase{"TwoThenBlank", WithValue("TFT_SPEED", "2 "),
                 Bytes{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 0}},
        LoadCase{"TwoThenLetter", WithValue("TFT_SPEED", "2x"),
                 Bytes{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 0}},
        LoadCase{"MinusOneAnd256", "[VELKRAN SETTINGS]\nTEMPERATURE=-1\nTFT_TURN=256\n",
                 Bytes{255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        LoadCase{"LongValuesCountNineCharacters",
                 "[VELKRAN SETTINGS]\nTEMPERATURE=1234567890\nATUO START=0000000001\n"
                 "TFT_CTEMP=\"3\"\nTFT_CFREQ= +7\nTFT_CTRPM=x1\nTFT_CPOWER=\n",
                 Bytes{21, 0, 3, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        LoadCase{"NamesIgnoreCaseAndCrLf",
                 "[velkran settings]\r\ntemperature = 0\r\natuo start=1\r\ntft_turn=3\r\n",
                 Bytes{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}},
        LoadCase{"FirstMatchWins",
                 "[VELKRAN SETTINGS]\nTFT_OPEN=1\nTFT_OPEN=0\n[VELKRAN SETTINGS]\nTFT_TURN=2\n",
                 Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
        LoadCase{"CpuLoadOffByHand", WithValue("TFT_CLOAD", "0"),
                 Bytes{1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0, 1, 0}},
        LoadCase{"GarbageBytes", kGarbage, Bytes{}}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

TEST_F(SettingsControllerTest, SaveTemperatureUnitWritesTheKeyAndTellsThePages) {
    const std::string path = dir_ / "Setting.ini";
    const std::string before = std::string("; mine\n") + kDefaultFile + "EXTRA=5\n";
    WriteFileText(path, before);
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();
    std::vector<int> told;
    controller.onTemperatureUnitChanged = [&](std::uint8_t unit) { told.push_back(unit); };

    controller.SaveSetting(0, 0);
    EXPECT_EQ(controller.settings().temperatureUnit, 0);
    EXPECT_EQ(ReadFileText(path),
              ini::ReplaceValue(before, "VELKRAN SETTINGS", "TEMPERATURE", "0"));
    EXPECT_EQ(told, std::vector<int>{0});
    EXPECT_FALSE(EntryExists());

    controller.SaveSetting(0, 200);
    SettingsFile reader;
    reader.SetPath(controller.settingsPath());
    EXPECT_EQ(reader.ReadValue(kSettingsSection, "TEMPERATURE"), "200");
    EXPECT_EQ(told, (std::vector<int>{0, 200}));
}

TEST_F(SettingsControllerTest, SaveAutostartWritesTheKeyAndFollowsWithTheEntry) {
    const std::string path = dir_ / "Setting.ini";
    WriteFileText(path, kDefaultFile);
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();
    SettingsFile reader;
    reader.SetPath(path);

    controller.SaveSetting(1, 1);
    EXPECT_EQ(reader.ReadValue(kSettingsSection, "ATUO START"), "1");
    EXPECT_EQ(ReadFileText(EntryPath()), platform::AutostartEntryText(kExecutable));

    controller.SaveSetting(1, 0);
    EXPECT_EQ(controller.settings().autoStart, 0);
    EXPECT_EQ(reader.ReadValue(kSettingsSection, "ATUO START"), "0");
    EXPECT_FALSE(EntryExists());

    // Not a mode: the key is written, the entry left as it is.
    controller.SaveSetting(1, 1);
    controller.SaveSetting(1, 7);
    EXPECT_EQ(reader.ReadValue(kSettingsSection, "ATUO START"), "7");
    EXPECT_TRUE(EntryExists());
}

TEST_F(SettingsControllerTest, SaveOfAnythingElseDoesNothing) {
    const std::string path = dir_ / "Setting.ini";
    WriteFileText(path, kDefaultFile);
    SettingsController controller(path, kExecutable);
    controller.LoadSettings();
    bool told = false;
    controller.onTemperatureUnitChanged = [&](std::uint8_t) { told = true; };
    for (int which : {-1, 2, 15})
        controller.SaveSetting(which, 0);
    EXPECT_EQ(ReadFileText(path), kDefaultFile);
    EXPECT_EQ(controller.settings(), DefaultAppSettings());
    EXPECT_FALSE(told);
    EXPECT_FALSE(EntryExists());
}

TEST_F(SettingsControllerTest, SaveThatCannotWriteStillChangesTheSetting) {
    WriteFileText(dir_ / "blocker", "");
    SettingsController controller(dir_ / "blocker/Setting.ini", kExecutable);
    controller.LoadSettings();
    int told = -1;
    controller.onTemperatureUnitChanged = [&](std::uint8_t unit) { told = unit; };
    controller.SaveSetting(0, 0);
    EXPECT_EQ(controller.settings().temperatureUnit, 0);
    EXPECT_EQ(told, 0);
}

struct ParseCase {
    const char* text;
    int expected;
};

TEST(ParseSettingValueTest, ConvertsLikeStrtolAndKeepsTheLowByte) {
    const ParseCase cases[] = {
        {"", 0},
        {"0", 0},
        {"1", 1},
        {" \t3", 3},
        {"+4", 4},
        {"-1", 255},
        {"-0", 0},
        {"255", 255},
        {"256", 0},
        {"257", 1},
        {"-256", 0},
        {"2 ", 2},
        {"2x", 2},
        {"x2", 0},
        {"- 1", 0},
        {"0x10", 0},
        {"010", 10},
        {"123456789", 21},
        {"99999999999999999999", 255},
        {"-99999999999999999999", 0},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(ParseSettingValue(c.text), c.expected) << '"' << c.text << '"';
    }
}

struct PathCase {
    const char* executableFolder;
    const char* userConfigDir;
    const char* expected;
};

TEST(SettingsPathForTest, BesideThePortableExecutableUnderTheUserConfigWhenInstalled) {
    const PathCase cases[] = {
        {"/home/u/build/portable/", "/home/u/.config", "/home/u/build/portable/Setting.ini"},
        {"/opt/tarquelonvist", "/home/u/.config", "/opt/tarquelonvist/Setting.ini"},
        {"/usrlocal/bin/", "/c", "/usrlocal/bin/Setting.ini"},
        {"/home/u/usr/bin/", "/c", "/home/u/usr/bin/Setting.ini"},
        {"/usr/bin/", "/home/u/.config", "/home/u/.config/tarquelonvist/Setting.ini"},
        {"/usr/local/bin/", "/x/cfg/", "/x/cfg/tarquelonvist/Setting.ini"},
        {"/usr", "/x", "/x/tarquelonvist/Setting.ini"},
        {"", "/x", "/x/tarquelonvist/Setting.ini"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(SettingsPathFor(c.executableFolder, c.userConfigDir), c.expected)
            << c.executableFolder;
    }
}

}  // namespace
}  // namespace tqv
