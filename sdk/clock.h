// The library's sense of time: a monotonic clock in microseconds. Values that need two samples
// (load, power, disk activity) divide by the time between their samples, so tests can replace
// the clock with a file holding the current time (decimal microseconds) named by
// TQV_SDK_CLOCK_FILE; the variable is read once, when the clock is made.
#pragma once

#include <cstdint>
#include <string>

namespace tqv::sdk {

class Clock {
  public:
    Clock();
    // Microseconds on the monotonic clock (or as the clock file says).
    std::int64_t NowUs() const;

  private:
    std::string file_;
};

// The real monotonic clock, whatever the environment says; for measuring costs.
std::int64_t RealMonotonicUs();

}  // namespace tqv::sdk
