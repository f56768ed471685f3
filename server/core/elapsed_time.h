// The server's elapsed-time clock: microseconds since the start of main, from a monotonic
// counter. The parallel worker threads measure their time slices with it.
#pragma once

#include <cstdint>

namespace Ovrin {

// Called once, first thing in main.
void StartElapsedTime();
int64_t ElapsedMicroseconds();

}  // namespace Ovrin
