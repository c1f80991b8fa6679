// The settings file: lookup and replacement on text, and SettingsFile on real files, including a
// writer killed at random moments.
#include "app/settings_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <ostream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/app/app_test_support.h"

namespace tqv {
namespace {

using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

struct LookupCase {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    const char* expected;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
    *os << c.name;
}

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, FindsTheValue) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(ini::LookupValue(c.text, c.section, c.key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LookupTest,
    ::testing::Values(
        LookupCase{"EmptyText", "", "S", "K", ""}, LookupCase{"NoSection", "K=1\n", "S", "K", ""},
        LookupCase{"OtherSection", "[T]\nK=1\n", "S", "K", ""},
        LookupCase{"MissingKey", "[S]\nA=1\n", "S", "K", ""},
        LookupCase{"Plain", "[S]\nK=1\n", "S", "K", "1"},
        LookupCase{"SectionAndKeyIgnoreCase", "[velkran Settings]\natuo start=1\n",
                   "VELKRAN SETTINGS", "ATUO START", "1"},
        LookupCase{"BlanksTrimmed", "  [ S ]  \n\t K \t=\t 2  \n", "S", "K", "2"},
        LookupCase{"RequestedNamesTrimmed", "[S]\nK=3\n", " S ", " K ", "3"},
        LookupCase{"InnerBlankIsPartOfKey", "[S]\nATUO  START=1\nATUO START=2\n", "S", "ATUO START",
                   "2"},
        LookupCase{"FirstKeyWins", "[S]\nK=1\nK=2\n", "S", "K", "1"},
        LookupCase{"FirstSectionWins", "[S]\nK=1\n[S]\nK=2\n", "S", "K", "1"},
        LookupCase{"KeyOnlyInLaterDuplicateSection", "[S]\nA=1\n[s]\nK=2\n", "S", "K", ""},
        LookupCase{"KeyAfterSectionEnds", "[S]\nA=1\n[T]\nK=2\n", "S", "K", ""},
        LookupCase{"CrLf", "[S]\r\nA=1\r\nK=7\r\n", "S", "K", "7"},
        LookupCase{"CommentIsNoKey", "[S]\n;K=1\nK=2\n", "S", "K", "2"},
        LookupCase{"KeyWithoutEquals", "[S]\nK\n", "S", "K", ""},
        LookupCase{"EqualsInValue", "[S]\nK=a=b\n", "S", "K", "a=b"},
        LookupCase{"DoubleQuotesDropped", "[S]\nK=\"2\"\n", "S", "K", "2"},
        LookupCase{"SingleQuotesDropped", "[S]\nK=' 2 '\n", "S", "K", " 2 "},
        LookupCase{"UnmatchedQuoteKept", "[S]\nK=\"2\n", "S", "K", "\"2"},
        LookupCase{"HeaderWithTrailingText", "[S] ; main\nK=4\n", "S", "K", "4"},
        LookupCase{"UnclosedHeaderIsNoSection", "[S]\n[T\nK=5\n", "S", "K", "5"},
        LookupCase{"Utf8ByteOrderMark", "\xEF\xBB\xBF[S]\nK=6\n", "S", "K", "6"},
        LookupCase{"NoFinalLineBreak", "[S]\nK=8", "S", "K", "8"},
        LookupCase{"LongValueWhole", "[S]\nK=12345678901234\n", "S", "K", "12345678901234"},
        LookupCase{"EmptySectionName", "[]\nK=1\n", "", "K", ""}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

struct ReplaceCase {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    const char* value;
    const char* expected;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplaceTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceTest, ProducesTheText) {
    const ReplaceCase& c = GetParam();
    EXPECT_EQ(ini::ReplaceValue(c.text, c.section, c.key, c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceTest,
    ::testing::Values(
        ReplaceCase{"NewFile", "", "VELKRAN SETTINGS", "TEMPERATURE", "1",
                    "[VELKRAN SETTINGS]\nTEMPERATURE=1\n"},
        ReplaceCase{"InPlaceKeepsEverythingElse",
                    "; made by hand\n[S]\nA=1\n; note\n  K = 5 \nX=y\n\n[T]\nK=9\n", "S", "K", "0",
                    "; made by hand\n[S]\nA=1\n; note\n  K=0\nX=y\n\n[T]\nK=9\n"},
        ReplaceCase{"KeepsTheFilesSpellingOfTheKey", "[velkran settings]\ntft_speed=0\n",
                    "VELKRAN SETTINGS", "TFT_SPEED", "2", "[velkran settings]\ntft_speed=2\n"},
        ReplaceCase{"OnlyTheFirstKey", "[S]\nK=1\nK=2\n", "S", "K", "9", "[S]\nK=9\nK=2\n"},
        ReplaceCase{"KeyWithoutEquals", "[S]\nK\nA=1\n", "S", "K", "3", "[S]\nK=3\nA=1\n"},
        ReplaceCase{"MissingKeyAtEndOfSection", "[S]\nA=1\n\n[T]\nB=2\n", "S", "K", "v",
                    "[S]\nA=1\nK=v\n\n[T]\nB=2\n"},
        ReplaceCase{"MissingKeyInEmptySection", "[S]\n[T]\n", "S", "K", "v", "[S]\nK=v\n[T]\n"},
        ReplaceCase{"MissingKeyAtEndWithoutLineBreak", "[S]\nA=1", "S", "K", "v",
                    "[S]\nA=1\nK=v\n"},
        ReplaceCase{"MissingKeyGoesToFirstDuplicate", "[S]\nA=1\n[S]\nK=2\n", "S", "K", "v",
                    "[S]\nA=1\nK=v\n[S]\nK=2\n"},
        ReplaceCase{"MissingSectionAppended", "[T]\nB=2\n", "S", "K", "v", "[T]\nB=2\n[S]\nK=v\n"},
        ReplaceCase{"MissingSectionAfterTextWithoutLineBreak", "; only a comment", "S", "K", "v",
                    "; only a comment\n[S]\nK=v\n"},
        ReplaceCase{"CrLfKeptInPlace", "[S]\r\nK=1\r\nA=2\r\n", "S", "K", "0",
                    "[S]\r\nK=0\r\nA=2\r\n"},
        ReplaceCase{"CrLfKeptForNewKey", "[S]\r\nA=1\r\n", "S", "K", "v", "[S]\r\nA=1\r\nK=v\r\n"},
        ReplaceCase{"CrLfKeptForNewSection", "[T]\r\nB=2", "S", "K", "v",
                    "[T]\r\nB=2\r\n[S]\r\nK=v\r\n"},
        ReplaceCase{"ByteOrderMarkKept", "\xEF\xBB\xBF[S]\nK=1\n", "S", "K", "2",
                    "\xEF\xBB\xBF[S]\nK=2\n"},
        ReplaceCase{"NamesTrimmed", "", " S ", " K ", "1", "[S]\nK=1\n"},
        ReplaceCase{"LineBreakInValueRefused", "[S]\nK=1\n", "S", "K", "1\n[T]", "[S]\nK=1\n"},
        ReplaceCase{"EqualsInKeyRefused", "[S]\nK=1\n", "S", "K=2", "1", "[S]\nK=1\n"},
        ReplaceCase{"BracketInSectionRefused", "", "S]", "K", "1", ""},
        ReplaceCase{"EmptyKeyRefused", "[S]\n", "S", "  ", "1", "[S]\n"}),
    [](const ::testing::TestParamInfo<ReplaceCase>& info) { return info.param.name; });

TEST(SettingsFileTest, MissingFileReadsEmptyAndFirstWriteCreatesFolderAndFile) {
    TempDir dir;
    SettingsFile file;
    file.SetPath(dir / "config/tarquelonvist/Setting.ini");
    EXPECT_EQ(file.ReadValue("VELKRAN SETTINGS", "TEMPERATURE"), "");

    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "1"));
    EXPECT_EQ(ReadFileText(file.path()), "[VELKRAN SETTINGS]\nTEMPERATURE=1\n");
    EXPECT_EQ(file.ReadValue("velkran settings", "temperature"), "1");

    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "ATUO START", "0"));
    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "0"));
    EXPECT_EQ(ReadFileText(file.path()), "[VELKRAN SETTINGS]\nTEMPERATURE=0\nATUO START=0\n");
}

TEST(SettingsFileTest, ReadIsBoundedToNineCharacters) {
    TempDir dir;
    SettingsFile file;
    file.SetPath(dir / "Setting.ini");
    WriteFileText(file.path(), "[S]\nLONG=1234567890123\nNINE=123456789\nQUOTED=\"12345678901\"\n");
    EXPECT_EQ(file.ReadValue("S", "LONG"), "123456789");
    EXPECT_EQ(file.ReadValue("S", "NINE"), "123456789");
    EXPECT_EQ(file.ReadValue("S", "QUOTED"), "123456789");
}

TEST(SettingsFileTest, WriteKeepsCommentsUnknownKeysAndCrLf) {
    TempDir dir;
    SettingsFile file;
    file.SetPath(dir / "Setting.ini");
    const std::string before =
        "; hand-made\r\n[OTHER]\r\nX=1\r\n[VELKRAN SETTINGS]\r\nTEMPERATURE=1\r\nMINE=keep\r\n";
    WriteFileText(file.path(), before);
    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "0"));
    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TFT_TURN", "3"));
    EXPECT_EQ(ReadFileText(file.path()),
              "; hand-made\r\n[OTHER]\r\nX=1\r\n[VELKRAN SETTINGS]\r\nTEMPERATURE=0\r\n"
              "MINE=keep\r\nTFT_TURN=3\r\n");
}

TEST(SettingsFileTest, PathsThatAreNoRegularFileAreNeitherReadNorReplaced) {
    TempDir dir;
    SettingsFile file;

    // A folder in the file's place.
    ASSERT_EQ(::mkdir((dir / "folder.ini").c_str(), 0755), 0);
    file.SetPath(dir / "folder.ini");
    EXPECT_EQ(file.ReadValue("S", "K"), "");
    EXPECT_FALSE(file.WriteValue("S", "K", "1"));

    // A FIFO would block a reader until someone opens it for writing.
    const std::string fifo = dir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    file.SetPath(fifo);
    auto reading = std::async(std::launch::async, [&] { return file.ReadValue("S", "K"); });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the reader finish
        if (unblock >= 0)
            ::close(unblock);
        reading.wait();
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_EQ(reading.get(), "");
    EXPECT_FALSE(file.WriteValue("S", "K", "1"));
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // No path at all.
    file.SetPath("");
    EXPECT_EQ(file.ReadValue("S", "K"), "");
    EXPECT_FALSE(file.WriteValue("S", "K", "1"));
}

TEST(SettingsFileTest, FolderWithoutWriteAccessFailsQuietly) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into any folder";
    TempDir dir;
    const std::string locked = dir / "locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
    SettingsFile file;
    file.SetPath(locked + "/Setting.ini");
    EXPECT_FALSE(file.WriteValue("S", "K", "1"));
    EXPECT_EQ(file.ReadValue("S", "K"), "");
}

// A writer killed at any moment leaves the file as it was before the write or as it is after it,
// never torn or empty.
TEST(SettingsFileTest, KilledWriterNeverLeavesATornFile) {
    TempDir dir;
    SettingsFile file;
    file.SetPath(dir / "Setting.ini");

    // Large enough that a plain rewrite would take several writes.
    std::string base;
    for (int i = 0; i < 2000; ++i)
        base += "; padding line " + std::to_string(i) + "\n";
    base += "[VELKRAN SETTINGS]\nTEMPERATURE=1\nATUO START=1\nTFT_TURN=0\n";
    const std::string one = base;
    const std::string zero = ini::ReplaceValue(base, "VELKRAN SETTINGS", "TEMPERATURE", "0");
    WriteFileText(file.path(), one);

    // How long one write takes here, so the kills land before, during and after writes.
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "0"));
    ASSERT_TRUE(file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "1"));
    auto perWrite = (std::chrono::steady_clock::now() - start) / 2;
    const long spanUs =
        std::chrono::duration_cast<std::chrono::microseconds>(perWrite).count() * 3 + 500;

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delay(0, spanUs);
    bool sawOne = false;
    bool sawZero = false;
    for (int round = 0; round < 60; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) {
                file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "0");
                file.WriteValue("VELKRAN SETTINGS", "TEMPERATURE", "1");
            }
        }
        ::usleep(static_cast<useconds_t>(delay(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);

        const std::string now = ReadFileText(file.path());
        ASSERT_TRUE(now == one || now == zero)
            << "round " << round << ": " << now.size() << " bytes";
        (now == one ? sawOne : sawZero) = true;
    }
    EXPECT_TRUE(sawOne);
    EXPECT_TRUE(sawZero) << "no write completed before a kill; the check proved nothing";
}

}  // namespace
}  // namespace tqv
