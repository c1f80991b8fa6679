#include "sdk/clock.h"

#include <time.h>

#include <cstdlib>

#include "sdk/kept_file.h"

namespace tqv::sdk {

std::int64_t RealMonotonicUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Clock::Clock() {
    if (const char* file = std::getenv("TQV_SDK_CLOCK_FILE"); file && *file)
        file_ = file;
}

std::int64_t Clock::NowUs() const {
    if (file_.empty())
        return RealMonotonicUs();
    std::int64_t value = 0;
    if (auto text = ReadSmallFile(file_); text && ParseInteger(*text, value))
        return value;
    return 0;
}

}  // namespace tqv::sdk
