// Waiting on many connections' readiness with one poll.
#include "common/socket_wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "common/exception.h"
#include "common/lock.h"
#include "common/trace.h"

namespace Ovrin {

uint32_t WaitForSockets(std::vector<CSocketWait>& waits, uint32_t milliseconds) {
    return Traced([&] {
        std::vector<pollfd> entries;
        entries.reserve(waits.size());
        bool readyNow = false;
        for (CSocketWait& wait : waits) {
            wait.ready = 0;
            readyNow = readyNow || wait.readyNow;
            short events = 0;
            if ((wait.directions & CSocketWait::kRead) != 0)
                events |= POLLIN;
            if ((wait.directions & CSocketWait::kWrite) != 0)
                events |= POLLOUT;
            // poll skips negative descriptors, and one waiting for nothing must not wake us.
            entries.push_back({events != 0 ? wait.descriptor : -1, events, 0});
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        int result;
        for (;;) {
            int timeout = -1;
            if (readyNow) {
                timeout = 0;
            } else if (milliseconds != kInfinite) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  std::chrono::steady_clock::now());
                timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            result = ::poll(entries.data(), entries.size(), timeout);
            if (result >= 0 || errno != EINTR)
                break;
        }
        if (result < 0)
            throw CMessageException("poll() failed with errno=%d", errno);
        uint32_t count = 0;
        for (size_t i = 0; i < waits.size(); ++i) {
            short revents = entries[i].revents;
            unsigned ready = 0;
            if ((revents & POLLIN) != 0)
                ready |= CSocketWait::kRead;
            if ((revents & POLLOUT) != 0)
                ready |= CSocketWait::kWrite;
            // The next step on such a descriptor reports the failure; let it run.
            if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                ready |= waits[i].directions;
            if (waits[i].readyNow)
                ready |= CSocketWait::kRead;
            waits[i].ready = ready;
            if (ready != 0)
                ++count;
        }
        return count;
    }, "WaitForSockets(%u, %u)", static_cast<unsigned>(waits.size()), milliseconds);
}

}  // namespace Ovrin
