#include "monitor/monitor_core.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "device/serial_link.h"
#include "sdk/sdk_interface.h"
#include "sensors/sensor_hub.h"

namespace tqv {

std::int32_t TruncateReading(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0f) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

MonitorCore::MonitorCore(MonitorTiming timing) : timing_(timing), created_(Clock::now()) {}

bool MonitorCore::WorkerFinished() {
    std::lock_guard lock(stateMutex_);
    return workerDone_;
}

MonitorCore::~MonitorCore() { Stop(); }

void MonitorCore::InitMonitorPage(SensorHub* hub, std::vector<std::string> extraPorts) {
    hub_ = hub;
    extraPorts_ = std::move(extraPorts);
    watcher_ = std::make_unique<DeviceWatcher>(
        DeviceTargets{link_, serialPresent_, hid_, extraPorts_});
    RebuildSerialLink();
}

bool MonitorCore::StartHotplug() { return watcher_ && watcher_->Start(); }

void MonitorCore::ApplyDisplaySettings(std::uint8_t unit, const DisplaySettings& settings) {
    rotation_.ApplyDisplaySettings(unit, settings);
}

void MonitorCore::SetTemperatureUnit(std::uint8_t unit) {
    unit_.store(unit);
    rotation_.SetTemperatureUnit(unit);
}

bool MonitorCore::RebuildSerialLink() {
    return tqv::RebuildSerialLink(link_, serialPresent_, extraPorts_);
}

bool MonitorCore::OnDeviceChange(const DeviceChange& change) {
    return watcher_ && watcher_->Handle(change);
}

void MonitorCore::Start() {
    std::lock_guard lock(stateMutex_);
    if (workerStarted_ || stopped_ || !hub_) return;
    workerStarted_ = true;
    worker_ = std::thread([this] { MonitorThreadProc(); });
}

bool MonitorCore::SleepUntil(Clock::time_point deadline) {
    std::unique_lock lock(stateMutex_);
    return !wake_.wait_until(lock, deadline, [this] { return !run_.load(); });
}

void MonitorCore::MonitorThreadProc() {
    // The first cycle begins two seconds after the core was created.
    if (SleepUntil(created_ + timing_.startDelay)) {
        // One text buffer serves every label of every cycle.
        char text[32];
        while (run_.load() && hub_) {
            RunCycle(text, sizeof text);
            cycles_.fetch_add(1);
            if (!SleepUntil(Clock::now() + timing_.cycleSleep)) break;
        }
    }
    std::lock_guard lock(stateMutex_);
    workerDone_ = true;
    wake_.notify_all();
}

void MonitorCore::RunCycle(char* text, std::size_t textSize) {
    SensorHub& hub = *hub_;
    const SensorReadings& r = hub.readings;

    auto bar = [&](MonitorBar which, float value, const char* format, bool integer) {
        std::int32_t truncated = TruncateReading(value);
        if (integer) {
            std::snprintf(text, textSize, format, truncated);
        } else {
            std::snprintf(text, textSize, format, static_cast<double>(value));
        }
        if (view_) {
            view_->SetBarValue(which, truncated);
            view_->SetLabelText(which, text);
        }
    };

    hub.RefreshReadings(SDK_SENSOR_LOAD);
    bar(MonitorBar::CpuLoad, r.cpuLoadPct, "%d %%", true);
    bar(MonitorBar::GpuLoad, r.gpuLoadPct, "%d %%", true);

    hub.RefreshReadings(SDK_SENSOR_CLOCK);
    bar(MonitorBar::CpuClock, r.cpuClockMhz, "%.f MHz", false);
    bar(MonitorBar::GpuClock, r.gpuClockMhz, "%.f MHz", false);

    hub.RefreshReadings(SDK_SENSOR_FAN);
    bar(MonitorBar::CpuFan, r.cpuFanRpm, "%.f RPM", false);
    bar(MonitorBar::GpuFan, r.gpuFanRpm, "%.f RPM", false);

    hub.RefreshReadings(SDK_SENSOR_POWER);
    bar(MonitorBar::CpuPower, r.cpuPowerW, "%.f W", false);
    bar(MonitorBar::GpuPower, r.gpuPowerW, "%.f W", false);

    hub.RefreshReadings(SDK_SENSOR_TEMPERATURE);
    if (view_) {
        std::uint8_t unit = unit_.load();
        view_->SetGaugeValue(MonitorGauge::Cpu, TruncateReading(r.cpuTempC), unit);
        view_->SetGaugeValue(MonitorGauge::Gpu, TruncateReading(r.gpuTempC), unit);
    }

    // Exactly one display is fed per cycle: the serial display when one answered the
    // handshake, the HID display otherwise.
    if (serialPresent_.load()) {
        ItemReadings items;
        items.cpuClockMhz = TruncateReading(r.cpuClockMhz);
        items.cpuTempC = TruncateReading(r.cpuTempC);
        items.cpuFanRpm = TruncateReading(r.cpuFanRpm);
        items.cpuPowerW = TruncateReading(r.cpuPowerW);
        items.cpuLoadPct = TruncateReading(r.cpuLoadPct);
        items.gpuClockMhz = TruncateReading(r.gpuClockMhz);
        items.gpuTempC = TruncateReading(r.gpuTempC);
        items.gpuFanRpm = TruncateReading(r.gpuFanRpm);
        items.gpuPowerW = TruncateReading(r.gpuPowerW);
        items.gpuLoadPct = TruncateReading(r.gpuLoadPct);
        rotation_.RotateItem(link_, items);
    } else {
        hid_.SendHidReport(TruncateReading(r.cpuTempC), TruncateReading(r.cpuLoadPct),
                           TruncateReading(r.cpuClockMhz), TruncateReading(r.cpuFanRpm),
                           TruncateReading(r.cpuPowerW), TruncateReading(r.gpuTempC),
                           TruncateReading(r.gpuLoadPct), TruncateReading(r.gpuClockMhz),
                           TruncateReading(r.gpuFanRpm), TruncateReading(r.gpuPowerW));
    }
}

bool MonitorCore::Stop() {
    // No rebuild or removal may start while the core shuts down.
    if (watcher_) watcher_->Stop();
    std::unique_lock lock(stateMutex_);
    if (stopped_) return !abandoned_;
    stopped_ = true;
    run_.store(false);
    wake_.notify_all();
    if (workerStarted_) {
        bool ended = wake_.wait_for(lock, timing_.stopWait, [this] { return workerDone_; });
        if (!ended) {
            // The worker is stuck inside a cycle (a sensor read that never returns). It cannot
            // be ended safely from here; leave it, and the link and HID library it may be
            // using, to the end of the process.
            worker_.detach();
            abandoned_ = true;
            return false;
        }
        lock.unlock();
        worker_.join();
    } else {
        lock.unlock();
    }
    hid_.Shutdown();
    std::lock_guard linkLock(link_.mutex);
    ClosePorts(link_);
    return true;
}

}  // namespace tqv
