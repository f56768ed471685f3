// CSequencer: the counter that refuses to wrap around.
#include "common/sequencer.h"

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

uint32_t CSequencer::Next() {
    return Traced([this] {
        CScopedLock hold(lock, kInfinite);
        if (counter == 0xFFFFFFFF)
            throw CMessageException("The sequence counter has overflowed");
        return ++counter;
    }, "CSequencer::Next()");
}

}  // namespace Ovrin
