// Readiness: what a connection waits for (its descriptor and direction), and one poll over many
// of them, so that a worker sleeps until one of its connections can make progress.
#pragma once

#include <cstdint>
#include <vector>

namespace Ovrin {

struct CSocketWait {
    static constexpr unsigned kRead = 1;
    static constexpr unsigned kWrite = 2;

    int descriptor = -1;      // -1: nothing on the network to wait for
    unsigned directions = 0;  // kRead and/or kWrite
    // The next step can progress without the network (bytes already buffered).
    bool readyNow = false;
    // Filled by WaitForSockets: the directions found ready (readyNow counts as kRead);
    // an error or hang-up on the descriptor counts as every direction waited for.
    unsigned ready = 0;
};

// Waits until at least one entry is ready or the time has passed (kInfinite: no limit);
// returns the number of ready entries, 0 on time-out. An entry ready now makes it return at once.
uint32_t WaitForSockets(std::vector<CSocketWait>& waits, uint32_t milliseconds);

}  // namespace Ovrin
