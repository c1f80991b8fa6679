// The monitor's values on a terminal: without a window, the headless monitor started from a
// terminal shows one status line per cycle, rewritten in place.
#pragma once

#include <cstdio>
#include <string>

#include "monitor/monitor_view.h"

namespace tqv {

class ConsoleView : public MonitorView {
public:
    explicit ConsoleView(std::FILE* out) : out_(out) {}

    void SetBarValue(MonitorBar, std::int32_t) override {}
    void SetLabelText(MonitorBar bar, const char* text) override;
    // The GPU gauge is the last value of a cycle: the line is printed then.
    void SetGaugeValue(MonitorGauge gauge, std::int32_t value, std::uint8_t unit) override;

    // The status line for the values received so far.
    std::string Line() const;

private:
    std::FILE* out_;
    std::string labels_[kMonitorBarCount];
    std::int32_t temps_[2] = {};
    std::uint8_t unit_ = 1;
};

}  // namespace tqv
