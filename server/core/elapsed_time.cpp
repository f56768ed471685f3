// The elapsed-time clock on std::chrono::steady_clock, which cannot fail.
#include "server/core/elapsed_time.h"

#include <atomic>
#include <chrono>

namespace Ovrin {

namespace {

std::atomic<std::chrono::steady_clock::rep> start{0};

}  // namespace

void StartElapsedTime() { start = std::chrono::steady_clock::now().time_since_epoch().count(); }

int64_t ElapsedMicroseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto since = now - std::chrono::steady_clock::duration(start.load());
    return std::chrono::duration_cast<std::chrono::microseconds>(since).count();
}

}  // namespace Ovrin
