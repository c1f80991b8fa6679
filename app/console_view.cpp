#include "app/console_view.h"

namespace tqv {

void ConsoleView::SetLabelText(MonitorBar bar, const char* text) {
    labels_[static_cast<int>(bar)] = text;
}

void ConsoleView::SetGaugeValue(MonitorGauge gauge, std::int32_t value, std::uint8_t unit) {
    temps_[static_cast<int>(gauge)] = value;
    unit_ = unit;
    if (gauge != MonitorGauge::Gpu || !out_) return;
    std::string line = Line();
    // Carriage return and erase-to-end-of-line keep one line updated in place.
    std::fprintf(out_, "\r%s\033[K", line.c_str());
    std::fflush(out_);
}

std::string ConsoleView::Line() const {
    auto temperature = [this](std::int32_t celsius) {
        // The gauges show the page's unit; Fahrenheit is converted the way the display does.
        if (unit_ == 0) {
            return std::to_string(static_cast<std::int32_t>(celsius * 1.8 + 32)) + " °F";
        }
        return std::to_string(celsius) + " °C";
    };
    auto label = [this](MonitorBar bar) { return labels_[static_cast<int>(bar)]; };
    return "CPU " + temperature(temps_[0]) + "  " + label(MonitorBar::CpuLoad) + "  " +
           label(MonitorBar::CpuClock) + "  " + label(MonitorBar::CpuFan) + "  " +
           label(MonitorBar::CpuPower) + "   GPU " + temperature(temps_[1]) + "  " +
           label(MonitorBar::GpuLoad) + "  " + label(MonitorBar::GpuClock) + "  " +
           label(MonitorBar::GpuFan) + "  " + label(MonitorBar::GpuPower);
}

}  // namespace tqv
