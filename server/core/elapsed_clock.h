// The elapsed-time clock: microseconds since the process started it, on the monotonic clock;
// it times the parallel workers' slices.
#pragma once

#include <cstdint>

namespace Ovrin {

// Fixes the starting point; called first thing in main (later calls change nothing).
void StartElapsedClock();
// Microseconds since StartElapsedClock (since the first call here, if it was never started).
uint64_t ElapsedMicroseconds();

}  // namespace Ovrin
