// `tarquelonvist --settings` end to end: the real executable, copied into a fresh folder the way
// an unpacked archive would hold it, run with a home and configuration folder of its own.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/app/app_test_support.h"

namespace {

using tqv::testing::ReadFileText;
using tqv::testing::RunProcess;
using tqv::testing::TempDir;
using tqv::testing::WriteFileText;

constexpr const char* kDefaultKeys = tqv::testing::kDefaultKeyLines;

class SettingsCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string built = std::string(TQV_PORTABLE_DIR) + "/tarquelonvist";
        ASSERT_TRUE(std::filesystem::exists(built)) << built;
        std::filesystem::create_directories(dir_ / "app");
        std::filesystem::copy_file(built, executable_);
        ::chmod(executable_.c_str(), 0755);
    }

    tqv::testing::ProcessResult Run() {
        return RunProcess({executable_, "--settings"},
                          {{"HOME", dir_ / "home"}, {"XDG_CONFIG_HOME", dir_ / "config"}},
                          std::chrono::seconds(30));
    }

    TempDir dir_;
    const std::string executable_ = dir_ / "app/tarquelonvist";
    const std::string settings_ = dir_ / "app/Setting.ini";
    const std::string entry_ = dir_ / "config/autostart/Velkran.desktop";
};

struct stat StatOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

TEST_F(SettingsCommandTest, FirstRunCreatesDefaultsAndAutostartSecondRunOnlyReads) {
    auto first = Run();
    ASSERT_TRUE(first.finished);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(first.output, settings_ + "\n" + kDefaultKeys);
    EXPECT_EQ(ReadFileText(settings_), std::string("[VELKRAN SETTINGS]\n") + kDefaultKeys);
    const std::string entry = ReadFileText(entry_);
    EXPECT_NE(entry.find("\nExec=\"" + executable_ + "\"\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos) << entry;

    // Edited by hand, autostart entry removed by hand: the next start reads the values as they
    // are and neither rewrites the file nor brings the entry back.
    std::string edited = ReadFileText(settings_);
    edited.replace(edited.find("TEMPERATURE=1"), 13, "temperature = 0");
    edited.replace(edited.find("TFT_SPEED=0"), 11, "TFT_SPEED=2x");
    WriteFileText(settings_, edited);
    std::filesystem::remove(entry_);
    const struct stat before = StatOf(settings_);

    auto second = Run();
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 0);
    std::string expected = std::string(kDefaultKeys);
    expected.replace(expected.find("TEMPERATURE=1"), 13, "TEMPERATURE=0");
    expected.replace(expected.find("TFT_SPEED=0"), 11, "TFT_SPEED=2");
    EXPECT_EQ(second.output, settings_ + "\n" + expected);

    const struct stat after = StatOf(settings_);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ReadFileText(settings_), edited);
    EXPECT_FALSE(std::filesystem::exists(entry_));
}

TEST_F(SettingsCommandTest, BrokenFileReadsAsZerosAndStaysAsItIs) {
    static constexpr char kBroken[] = "\x01\x02 not an ini file\n[VELKRAN SETTINGS\n\0TFT_OPEN=1\n";
    const std::string broken(kBroken, sizeof kBroken - 1);
    WriteFileText(settings_, broken);
    auto run = Run();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    std::string zeros = kDefaultKeys;
    for (std::size_t at = zeros.find("=1"); at != std::string::npos; at = zeros.find("=1")) {
        zeros[at + 1] = '0';
    }
    EXPECT_EQ(run.output, settings_ + "\n" + zeros);
    EXPECT_EQ(ReadFileText(settings_), broken);
    EXPECT_FALSE(std::filesystem::exists(entry_));
}

}  // namespace
