// The elapsed-time clock on std::chrono::steady_clock.
#include "server/core/elapsed_clock.h"

#include <chrono>

namespace Ovrin {

namespace {

std::chrono::steady_clock::time_point StartPoint() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}

}  // namespace

void StartElapsedClock() { StartPoint(); }

uint64_t ElapsedMicroseconds() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - StartPoint())
            .count());
}

}  // namespace Ovrin
