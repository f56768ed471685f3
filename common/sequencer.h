// CSequencer: a thread-safe 32-bit counter that refuses to wrap around.
#pragma once

#include <cstdint>

#include "common/lock.h"

namespace Ovrin {

class CSequencer {
public:
    explicit CSequencer(uint32_t start = 0) : counter(start) {}
    // The next value (1 on the first call); throws once the counter is exhausted.
    uint32_t Next();

private:
    CLock lock;
    uint32_t counter;
};

}  // namespace Ovrin
