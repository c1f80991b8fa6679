// What the monitor worker writes into once a cycle: the monitor page's eight bars with their
// value texts and its two temperature gauges. The window implements it; without a window
// nothing is drawn.
#pragma once

#include <cstdint>

namespace tqv {

// The eight bar/label pairs, in the order the worker updates them each cycle.
enum class MonitorBar : std::uint8_t {
    CpuLoad,
    GpuLoad,
    CpuClock,
    GpuClock,
    CpuFan,
    GpuFan,
    CpuPower,
    GpuPower,
};
inline constexpr int kMonitorBarCount = 8;

enum class MonitorGauge : std::uint8_t { Cpu, Gpu };

class MonitorView {
public:
    virtual ~MonitorView() = default;

    // All three are called on the monitor worker's thread. An implementation stores the value
    // and asks for a repaint; it never waits for the user-interface thread, which may itself be
    // waiting for the worker to stop.
    virtual void SetBarValue(MonitorBar bar, std::int32_t value) = 0;
    virtual void SetLabelText(MonitorBar bar, const char* text) = 0;
    virtual void SetGaugeValue(MonitorGauge gauge, std::int32_t value, std::uint8_t unit) = 0;
};

}  // namespace tqv
