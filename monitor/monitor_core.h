// The monitor core: everything the hardware monitor page owns besides drawing. The serial
// display link and its `serialPresent` flag, the rotation settings, the HID display handle, the
// start of the monitor worker two seconds after creation, and the stop sequence.
//
// Threads: the owner's thread (the user-interface thread, or the headless service's main
// thread) creates the core, hands it settings, rebuilds the link and forgets the HID display on
// device changes; the monitor worker reads the sensors and feeds the display once a second. The
// link is guarded by its own mutex, the HID handle and the rotation settings by theirs, so the
// two threads never overlap on any of them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/display_settings.h"
#include "device/device_events.h"
#include "device/device_link.h"
#include "device/hid_display.h"
#include "device/rotation.h"
#include "monitor/monitor_view.h"

namespace tqv {

class SensorHub;

// A reading truncated toward zero to a signed 32-bit integer, as every bar, gauge and display
// takes it. A value that is not a number gives 0 and values beyond the 32-bit range saturate,
// so a broken sensor can never make the conversion undefined.
std::int32_t TruncateReading(float value);

// The worker's pace. The defaults are the program's; tests may shorten them.
struct MonitorTiming {
    // The worker's first cycle begins this long after the core is created.
    std::chrono::milliseconds startDelay{2000};
    // The pause after each cycle.
    std::chrono::milliseconds cycleSleep{1000};
    // How long the stop sequence waits for the worker.
    std::chrono::milliseconds stopWait{5000};
};

class MonitorCore {
public:
    using Clock = std::chrono::steady_clock;

    explicit MonitorCore(MonitorTiming timing = {});
    ~MonitorCore();
    MonitorCore(const MonitorCore&) = delete;
    MonitorCore& operator=(const MonitorCore&) = delete;

    // Stores the readings source and opens the serial link (`serialPresent` cleared, then set to
    // the result). `extraPorts` are probed after the discovered ports on every rebuild.
    void InitMonitorPage(SensorHub* hub, std::vector<std::string> extraPorts = {});

    // Starts following the kernel's device events on a thread of their own (after
    // InitMonitorPage). False when they cannot be followed; the link is then rebuilt only at
    // start-up and by RebuildSerialLink.
    bool StartHotplug();

    // The rotation's settings; the unit passed here is not used (see SetTemperatureUnit).
    void ApplyDisplaySettings(std::uint8_t unit, const DisplaySettings& settings);
    void SetTemperatureUnit(std::uint8_t unit);
    std::uint8_t TemperatureUnit() const { return unit_.load(); }

    // Where the worker writes its bars, labels and gauges; null draws nothing. Set it before
    // Start().
    void SetView(MonitorView* view) { view_ = view; }

    // Arms the start: the worker's first cycle begins two seconds after the core was created,
    // or at once when that moment has already passed. Called once the owner has finished its
    // initialisation, so that everything the worker reads is in place.
    void Start();

    // The rebuild of the serial link (the window's rebuild command, a display's arrival).
    bool RebuildSerialLink();

    // One device-interface notification (after InitMonitorPage): the serial display's arrival
    // rebuilds the link; the HID display's removal forgets its handle so the next cycle opens it
    // afresh; nothing else acts. True when it acted.
    bool OnDeviceChange(const DeviceChange& change);

    // The stop sequence: ends the device-event thread, clears the run flag, wakes the worker from its sleep and waits up to
    // five seconds for it; then shuts the HID library down and closes the serial ports. Returns
    // false when the worker did not end in time; it is then left behind (detached) together with
    // the link and the HID library it may still be using, and the caller should end the process.
    // Idempotent.
    bool Stop();

    bool SerialPresent() const { return serialPresent_.load(); }
    bool WorkerStarted() const { return workerStarted_; }
    // True once a started worker has returned.
    bool WorkerFinished();
    // Completed worker cycles; for tests and diagnostics.
    std::uint64_t CycleCount() const { return cycles_.load(); }

    DeviceLink& Link() { return link_; }
    HidDisplay& Hid() { return hid_; }

private:
    void MonitorThreadProc();
    void RunCycle(char* text, std::size_t textSize);
    // Sleeps until `deadline` or until the run flag is cleared. False when it was cleared.
    bool SleepUntil(Clock::time_point deadline);

    const MonitorTiming timing_;
    const Clock::time_point created_;
    SensorHub* hub_ = nullptr;
    MonitorView* view_ = nullptr;
    std::vector<std::string> extraPorts_;

    DeviceLink link_;
    std::atomic<bool> serialPresent_{false};
    std::atomic<std::uint8_t> unit_{0};
    DisplayRotation rotation_;
    HidDisplay hid_;
    std::unique_ptr<DeviceWatcher> watcher_;

    std::atomic<bool> run_{true};
    std::mutex stateMutex_;
    std::condition_variable wake_;
    bool workerDone_ = false;
    std::thread worker_;
    bool workerStarted_ = false;
    bool stopped_ = false;
    bool abandoned_ = false;
    std::atomic<std::uint64_t> cycles_{0};
};

}  // namespace tqv
