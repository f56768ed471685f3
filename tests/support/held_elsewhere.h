// HeldElsewhere: a name of a lockable pool locked by a thread of its own, as the control loop
// holds an editor's lock, from construction until Release() or the end of the scope.
#pragma once

#include <future>
#include <string>
#include <thread>

namespace OvrinTest {

template <class Pool>
class HeldElsewhere {
public:
    HeldElsewhere(Pool& pool, std::string name) : pool(pool), name(std::move(name)) {
        std::promise<void> locked;
        std::future<void> isLocked = locked.get_future();
        holder = std::thread([this, locked = std::move(locked), released = release.get_future()]() mutable {
            this->pool.LockObject(this->name, 1000);
            locked.set_value();
            released.wait();
            this->pool.UnlockObject(this->name);
        });
        isLocked.wait();
    }
    ~HeldElsewhere() { Release(); }
    HeldElsewhere(const HeldElsewhere&) = delete;
    HeldElsewhere& operator=(const HeldElsewhere&) = delete;

    void Release() {
        if (!holder.joinable())
            return;
        release.set_value();
        holder.join();
    }

private:
    Pool& pool;
    const std::string name;
    std::promise<void> release;
    std::thread holder;
};

}  // namespace OvrinTest
