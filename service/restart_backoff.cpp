#include "service/restart_backoff.h"

#include <algorithm>

namespace Ovrin {

CRestartBackoff::Seconds CRestartBackoff::NextPause(std::chrono::steady_clock::duration ranFor) {
    if (ranFor >= kHealthyRun)
        pause = kFirstPause;
    Seconds next = pause;
    pause = std::min(pause * 2, kLongestPause);
    return next;
}

}  // namespace Ovrin
