// CLock: the recursive lock with a time-out, and CScopedLock.
#include "common/lock.h"

#include <chrono>
#include <cstdlib>

namespace Ovrin {

bool CLock::Lock(uint32_t milliseconds) {
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(guard);
    if (depth > 0 && owner == self) {
        ++depth;
        return true;
    }
    auto isFree = [this] { return depth == 0; };
    if (milliseconds == kInfinite) {
        released.wait(hold, isFree);
    } else if (!released.wait_for(hold, std::chrono::milliseconds(milliseconds), isFree)) {
        return false;
    }
    owner = self;
    depth = 1;
    return true;
}

void CLock::Unlock() {
    std::unique_lock<std::mutex> hold(guard);
    // Releasing a lock one does not hold is a broken program, as a failed mutex release is.
    if (depth == 0 || owner != std::this_thread::get_id())
        std::abort();
    if (--depth == 0) {
        owner = std::thread::id();
        hold.unlock();
        released.notify_one();
    }
}

bool CLock::IsHeldByCurrentThread() const { return HeldDepth() > 0; }

unsigned CLock::HeldDepth() const {
    std::lock_guard<std::mutex> hold(guard);
    return depth > 0 && owner == std::this_thread::get_id() ? depth : 0;
}

CScopedLock::CScopedLock(CLockable& lockable, uint32_t milliseconds)
    : lockable(lockable), locked(lockable.Lock(milliseconds)) {}

CScopedLock::~CScopedLock() {
    if (locked)
        lockable.Unlock();
}

}  // namespace Ovrin
