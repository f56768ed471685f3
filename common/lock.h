// CLockable, CLock and CScopedLock: recursive locks with a time-out, and their scoped holder.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Ovrin {

// Milliseconds meaning "wait without a limit".
constexpr uint32_t kInfinite = 0xFFFFFFFF;

class CLockable {
public:
    virtual ~CLockable() = default;
    virtual bool Lock(uint32_t milliseconds) = 0;
    virtual void Unlock() = 0;
};

// Recursive: the owner may lock again and must unlock as many times. Any object deriving
// from it is its own lock.
class CLock : public CLockable {
public:
    CLock() = default;
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    bool Lock(uint32_t milliseconds) override;
    void Unlock() override;
    // True when the calling thread holds this lock.
    bool IsHeldByCurrentThread() const;
    // How many times the calling thread holds this lock; 0 when it does not.
    unsigned HeldDepth() const;

private:
    mutable std::mutex guard;
    std::condition_variable released;
    std::thread::id owner;
    unsigned depth = 0;
};

class CScopedLock {
public:
    CScopedLock(CLockable& lockable, uint32_t milliseconds);
    ~CScopedLock();
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

    bool IsLocked() const { return locked; }

private:
    CLockable& lockable;
    bool locked;
};

}  // namespace Ovrin
