#include "platform/debug_log.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

namespace tqv::platform {
namespace {

std::atomic<bool> g_enabled{false};
std::mutex g_sinkMutex;
std::function<void(std::string_view)> g_sink;

}  // namespace

void SetDebugOutputEnabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }

bool DebugOutputEnabled() { return g_enabled.load(std::memory_order_relaxed); }

void SetDebugSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(g_sinkMutex);
    g_sink = std::move(sink);
}

void DebugOutput(std::string_view line) {
    if (!DebugOutputEnabled()) return;
    std::lock_guard lock(g_sinkMutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    // One write per line so that lines from two threads never interleave.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace tqv::platform
