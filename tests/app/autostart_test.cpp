// The autostart entry: its Exec quoting, where it lives, writing and removing it, and a real
// desktop launcher starting the program through it.
#include "platform/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "tests/app/app_test_support.h"

namespace tqv {
namespace {

using testing::ReadFileText;
using testing::RunProcess;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFileText;

struct QuoteCase {
    const char* path;
    const char* expected;  // as it stands in the file
};

TEST(AutostartTest, ExecArgumentIsQuotedThenEscaped) {
    const QuoteCase cases[] = {
        {"/opt/tarquelonvist/tarquelonvist", R"("/opt/tarquelonvist/tarquelonvist")"},
        {"/home/u/my apps/tarquelonvist", R"("/home/u/my apps/tarquelonvist")"},
        {R"(/x/say "hi"/t)", R"("/x/say \\"hi\\"/t")"},
        {"/x/$HOME/t", R"("/x/\\$HOME/t")"},
        {"/x/`id`/t", R"("/x/\\`id\\`/t")"},
        {R"(/x/a\b/t)", R"("/x/a\\\\b/t")"},
        {"/x/100%/t", R"("/x/100%%/t")"},
        {"/x/%f/t", R"("/x/%%f/t")"},
        {"/x/tab\there/line\nbreak", R"("/x/tab\there/line\nbreak")"},
        {"/x/'single'", R"("/x/'single'")"},
    };
    for (const QuoteCase& c : cases) {
        EXPECT_EQ(platform::QuoteExecArgument(c.path), c.expected) << c.path;
    }
}

TEST(AutostartTest, EntryTextRunsTheExecutable) {
    EXPECT_EQ(platform::AutostartEntryText("/opt/a b/tarquelonvist"),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Velkran\n"
              "Exec=\"/opt/a b/tarquelonvist\"\n"
              "Terminal=false\n"
              "X-GNOME-Autostart-enabled=true\n");
}

TEST(AutostartTest, EntryLivesInTheUserAutostartFolder) {
    TempDir dir;
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", dir / "cfg");
        EXPECT_EQ(platform::AutostartEntryPath(), dir / "cfg/autostart/Velkran.desktop");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnv home("HOME", dir / "home");
        EXPECT_EQ(platform::AutostartEntryPath(), dir / "home/.config/autostart/Velkran.desktop");
    }
}

TEST(AutostartTest, ModeOneWritesModeZeroRemovesOtherModesDoNothing) {
    TempDir dir;
    ScopedEnv xdg("XDG_CONFIG_HOME", dir / "cfg");
    const std::string entry = dir / "cfg/autostart/Velkran.desktop";

    platform::SetAutostartEntry(0, "/opt/t/tarquelonvist");  // nothing to remove: silent
    EXPECT_FALSE(platform::PathExists(entry));
    platform::SetAutostartEntry(2, "/opt/t/tarquelonvist");
    EXPECT_FALSE(platform::PathExists(entry));

    platform::SetAutostartEntry(1, "/opt/t/tarquelonvist");  // creates the folders
    EXPECT_EQ(ReadFileText(entry), platform::AutostartEntryText("/opt/t/tarquelonvist"));

    // A moved program registers its new place.
    platform::SetAutostartEntry(1, "/srv/moved/tarquelonvist");
    EXPECT_EQ(ReadFileText(entry), platform::AutostartEntryText("/srv/moved/tarquelonvist"));

    for (int mode : {-1, 2, 255})
        platform::SetAutostartEntry(mode, "/elsewhere");
    EXPECT_EQ(ReadFileText(entry), platform::AutostartEntryText("/srv/moved/tarquelonvist"));

    platform::SetAutostartEntry(0, "/srv/moved/tarquelonvist");
    EXPECT_FALSE(platform::PathExists(entry));
    EXPECT_TRUE(platform::PathExists(dir / "cfg/autostart"));
}

TEST(AutostartTest, UnwritableConfigFolderFailsQuietly) {
    TempDir dir;
    WriteFileText(dir / "cfg", "a file where the folder should be");
    ScopedEnv xdg("XDG_CONFIG_HOME", dir / "cfg");
    platform::SetAutostartEntry(1, "/opt/t/tarquelonvist");
    platform::SetAutostartEntry(0, "/opt/t/tarquelonvist");
    EXPECT_EQ(ReadFileText(dir / "cfg"), "a file where the folder should be");
}

// A desktop launcher reads the entry the way a session's autostart does and runs the program
// at exactly the path written. (GLib's launcher checks that the program exists before it undoes
// "%%", so a '%' in the path is covered by the quoting table above only.)
TEST(AutostartTest, LauncherRunsTheProgramAtAwkwardPaths) {
    const char* launcher = "/usr/bin/gio";
    if (::access(launcher, X_OK) != 0)
        GTEST_SKIP() << "no gio launcher (libglib2.0-bin)";

    TempDir dir;
    ScopedEnv xdg("XDG_CONFIG_HOME", dir / "cfg");
    const std::string marker = dir / "marker";

    auto launches = [&](const std::string& folderName) -> std::string {
        const std::string folder = dir / folderName;
        std::filesystem::create_directories(folder);
        const std::string program = folder + "/tarquelonvist";
        WriteFileText(program, "#!/bin/sh\nprintf '%s' \"$0\" > '" + marker + "'\n");
        ::chmod(program.c_str(), 0755);
        std::filesystem::remove(marker);
        platform::SetAutostartEntry(1, program);

        auto result = RunProcess({launcher, "launch", platform::AutostartEntryPath()}, {},
                                 std::chrono::seconds(20));
        if (!result.finished || result.exitCode != 0)
            return "<launcher failed>";
        std::string ran;
        for (int i = 0; i < 200 && ran.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ran = ReadFileText(marker);
        }
        return ran == program ? "ok" : "ran as '" + ran + "'";
    };

    if (launches("plain") != "ok")
        GTEST_SKIP() << "gio cannot launch desktop entries here";
    for (const char* name : {"with blank", "with \"quotes\"", "with $dollar", "with `tick`",
                             "with \\backslash", "all \\ \" ` $ 'mixed'"}) {
        EXPECT_EQ(launches(name), "ok") << name;
    }
}

}  // namespace
}  // namespace tqv
