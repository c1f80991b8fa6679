// The monitor worker rotates items and sends HID reports while the user-interface thread applies
// display settings, changes the unit, rebuilds the serial link and forgets the HID display.
// Run under ThreadSanitizer; the fake hidapi also reports any handle closed during a write.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/hid_display.h"
#include "device/rotation.h"
#include "tests/device/test_serial_port.h"
#include "tests/fakes/fake_hidapi.h"

namespace tqv {
namespace {

bool ValidFrame(const std::vector<std::uint8_t>& f) {
    if (f.size() != SerialFrame::kSize || f[0] != 0xC5 || f[16] != 0x01)
        return false;
    unsigned sum = 0;
    for (int i = 0; i < 17; ++i)
        sum += f[i];
    return f[17] == (sum & 0xFF);
}

TEST(DeviceThreads, SettingsRebuildsAndRemovalsWhileTheWorkerSends) {
    fake_hid::Reset();
    fake_hid::SetOpenSucceeds(true);
    fake_hid::SetWriteDuration(std::chrono::milliseconds(1));

    DeviceLink link;
    DisplayRotation rotation;
    HidDisplay hid;
    rotation.SetTemperatureUnit(kUnitCelsius);
    DisplaySettings on;
    on.showCpuTemp = on.showCpuFreq = on.showGpuTemp = on.animation = 1;
    on.rotationSpeed = 2;
    rotation.ApplyDisplaySettings(kUnitCelsius, on);

    // Ports of every generation stay alive until the end so their frames can be checked; the
    // link itself only ever points at the current ones.
    std::mutex portsMutex;
    std::vector<std::shared_ptr<std::vector<std::vector<std::uint8_t>>>> written;

    constexpr int kCycles = 300;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        const ItemReadings r{3600, 45, 1250, 65, 12, 1500, 50, 800, 20, 3};
        for (int i = 0; i < kCycles; ++i) {
            rotation.RotateItem(link, r);
            hid.SendHidReport(45, 12, 3600, 1250, 65, 50, 3, 1500, 800, 20);
        }
        workerDone = true;
    });

    // A port that hands its frames to shared storage when the link drops it.
    struct KeptPort : test::RecordingPort {
        std::shared_ptr<std::vector<std::vector<std::uint8_t>>> sink;
        ~KeptPort() override { *sink = Writes(); }
    };

    int round = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!workerDone && std::chrono::steady_clock::now() < deadline) {
        DisplaySettings s = on;
        s.rotationSpeed = static_cast<std::uint8_t>(round % 3);
        s.orientation = static_cast<std::uint8_t>(round % 4);
        s.showCpuFan = static_cast<std::uint8_t>(round % 2);
        rotation.ApplyDisplaySettings(kUnitCelsius, round % 7 == 0 ? DisplaySettings{} : s);
        rotation.SetTemperatureUnit(static_cast<std::uint8_t>(round % 3));
        if (round % 3 == 0)
            hid.ForgetDevice();
        {
            // A rebuild of the serial link: closes the old ports and opens new ones.
            std::lock_guard lock(link.mutex);
            link.handles = {};
            link.ports.assign(2, "/dev/ttyACM");
            for (std::size_t slot = 0; slot < 2; ++slot) {
                auto port = std::make_unique<KeptPort>();
                port->sink = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
                std::lock_guard keep(portsMutex);
                written.push_back(port->sink);
                link.handles[slot] = std::move(port);
            }
        }
        ++round;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    worker.join();
    ASSERT_TRUE(workerDone) << "worker did not finish in time";
    {
        std::lock_guard lock(link.mutex);
        link.handles = {};
    }
    hid.Shutdown();

    EXPECT_GT(round, 0);
    std::size_t frames = 0;
    for (const auto& sink : written) {
        for (const auto& f : *sink) {
            EXPECT_TRUE(ValidFrame(f));
            ++frames;
        }
    }
    EXPECT_GT(frames, 0u);
    EXPECT_EQ(fake_hid::Misuses(), 0);
    EXPECT_EQ(fake_hid::OpenHandles(), 0);
    fake_hid::Reset();
}

}  // namespace
}  // namespace tqv
