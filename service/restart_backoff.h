// CRestartBackoff: how long the service waits before starting a server that exited on its own
// again. The pause doubles from 1 s up to 60 s, and starts over at 1 s after a run of a minute.
#pragma once

#include <chrono>

namespace Ovrin {

class CRestartBackoff {
public:
    using Seconds = std::chrono::seconds;
    static constexpr Seconds kFirstPause{1};
    static constexpr Seconds kLongestPause{60};
    // A run at least this long counts as healthy.
    static constexpr Seconds kHealthyRun{60};

    // The pause before the next start, given how long the server ran before it exited.
    Seconds NextPause(std::chrono::steady_clock::duration ranFor);

private:
    Seconds pause = kFirstPause;
};

}  // namespace Ovrin
