// The link under load from three threads at once: one rebuilds the serial link again and again
// (as the hotplug handler and the rebuild command do), one plays the monitor worker sending
// rotation frames and HID reports, one keeps removing the HID display. The displays are three
// emulators on pseudo-terminals, the HID display the fake hidapi. A frame cut into by a rebuild,
// a write to a closed port or a HID handle freed under a write shows up as a bad frame at an
// emulator, a misuse in the fake, or a ThreadSanitizer report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/device_events.h"
#include "device/hid_display.h"
#include "device/rotation.h"
#include "device/serial_link.h"
#include "tests/device/sysfs_fixture.h"
#include "tests/fakes/fake_hidapi.h"
#include "tests/tools/emulator_process.h"

namespace tqv {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LinkStress, RebuildsWhileTheWorkerSendsAndTheHidDisplayComesAndGoes) {
    fake_hid::Reset();
    fake_hid::SetOpenSucceeds(true);
    fake_hid::SetWriteDuration(milliseconds(1));
    // One display found through the listing, two more given by path.
    test::EmulatorProcess listed, first, second;
    ASSERT_TRUE(listed.Start(test::kEmulatorPath, {}));
    ASSERT_TRUE(first.Start(test::kEmulatorPath, {}));
    ASSERT_TRUE(second.Start(test::kEmulatorPath, {}));
    test::SysfsFixture fx;
    const auto devpath = fx.AddUsbDevice("1-2", 0x2E3C, 0x5740, "Display", "A1");
    fx.AddAcmTty(devpath, "ttyACM0");
    fx.AddDeviceNode("ttyACM0", listed.path());

    DeviceLink link;
    std::atomic<bool> serialPresent{false};
    HidDisplay hid;
    DisplayRotation rotation;
    DisplaySettings settings;
    settings.showCpuTemp = settings.showCpuFreq = settings.showCpuFan = settings.showCpuPower =
        settings.showCpuLoad = settings.showGpuTemp = settings.showGpuFreq = settings.showGpuFan =
            settings.showGpuPower = settings.showGpuLoad = settings.animation = 1;
    settings.rotationSpeed = 2;  // a frame on every step
    rotation.ApplyDisplaySettings(kUnitCelsius, settings);
    rotation.SetTemperatureUnit(kUnitCelsius);

    const std::vector<std::string> ports{first.path(), second.path()};
    DeviceWatcher watcher({link, serialPresent, hid, ports});
    const DeviceChange arrival{
        DeviceChangeKind::Arrival,
        "\\\\?\\USB#VID_2E3C&PID_5740#A1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", devpath};
    const DeviceChange hidRemoval{
        DeviceChangeKind::Removal,
        "\\\\?\\USB#VID_5131&PID_2007#1-4#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", ""};

    constexpr int kRebuilds = 12;
    std::atomic<bool> done{false};
    std::atomic<int> rotationSteps{0};
    std::atomic<int> kept{0};

    std::thread rebuilder([&] {
        for (int i = 0; i < kRebuilds; ++i) {
            // A little time with the link up, so the worker gets to send through it and the
            // next rebuild finds it mid-rotation.
            std::this_thread::sleep_for(milliseconds(20));
            // Alternate the two callers: the window's rebuild command and the hotplug rule.
            if (i % 2 == 0) {
                if (RebuildSerialLink(link, serialPresent, ports)) {
                    ++kept;
                }
            } else {
                watcher.Handle(arrival);
                if (serialPresent)
                    ++kept;
            }
        }
        done = true;
    });
    std::thread worker([&] {
        const ItemReadings readings{3600, 45, 1250, 65, 12, 1500, 50, 800, 20, 3};
        while (!done) {
            if (serialPresent) {
                rotation.RotateItem(link, readings);
                ++rotationSteps;
            }
            hid.SendHidReport(45, 12, 3600, 1250, 65, 50, 3, 1500, 800, 20);
            std::this_thread::sleep_for(milliseconds(2));
        }
    });
    std::thread remover([&] {
        while (!done) {
            watcher.Handle(hidRemoval);
            std::this_thread::sleep_for(milliseconds(3));
        }
    });
    rebuilder.join();
    worker.join();
    remover.join();

    EXPECT_EQ(kept.load(), kRebuilds);
    EXPECT_TRUE(serialPresent);
    EXPECT_GT(rotationSteps.load(), 0);
    EXPECT_EQ(fake_hid::Misuses(), 0);

    for (auto* display : {&listed, &first, &second}) {
        display->Drain(milliseconds(200));
        EXPECT_EQ(display->LinesStartingWith("FRAME cmd=handshake").size(),
                  static_cast<std::size_t>(kRebuilds));
        EXPECT_GT(display->LinesStartingWith("FRAME cmd=show").size(), 0u);
        EXPECT_TRUE(display->LinesStartingWith("BAD").empty())
            << display->LinesStartingWith("BAD").front();
    }
    hid.Shutdown();
    fake_hid::Reset();
}

}  // namespace
}  // namespace tqv
