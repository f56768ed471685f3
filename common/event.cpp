// CEvent over an eventfd, so that a poll can wait on it beside sockets.
#include "common/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "common/exception.h"
#include "common/lock.h"

namespace Ovrin {

class CEvent::CEventImpl {
public:
    explicit CEventImpl(bool manualReset) : manualReset(manualReset) {}
    ~CEventImpl() {
        if (descriptor >= 0)
            ::close(descriptor);
    }

    void Set() {
        {
            std::lock_guard<std::mutex> hold(guard);
            if (!signalled)
                Signal(true);
            signalled = true;
        }
        if (manualReset)
            changed.notify_all();
        else
            changed.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> hold(guard);
        if (signalled)
            Signal(false);
        signalled = false;
    }

    int GetDescriptor() {
        std::lock_guard<std::mutex> hold(guard);
        if (!manualReset)
            throw CMessageException("CEvent::GetDescriptor(): an auto-reset event has no descriptor");
        if (descriptor < 0) {
            descriptor = ::eventfd(signalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (descriptor < 0)
                throw CMessageException("eventfd() failed with errno=%d", errno);
        }
        return descriptor;
    }

    bool Wait(uint32_t milliseconds) {
        std::unique_lock<std::mutex> hold(guard);
        auto isSet = [this] { return signalled; };
        // A test that does not wait needs no sleep, and no system call.
        if (milliseconds == 0 && !signalled)
            return false;
        if (milliseconds == kInfinite)
            changed.wait(hold, isSet);
        else if (!changed.wait_for(hold, std::chrono::milliseconds(milliseconds), isSet))
            return false;
        if (!manualReset)
            signalled = false;
        return true;
    }

private:
    // Mirrors the state on the descriptor: its counter is 1 while set, 0 while reset.
    void Signal(bool set) {
        if (descriptor < 0)
            return;
        uint64_t count = 1;
        // Neither can fail: the counter only moves between 0 and 1.
        [[maybe_unused]] ssize_t moved = set ? ::write(descriptor, &count, sizeof count)
                                             : ::read(descriptor, &count, sizeof count);
    }

    const bool manualReset;
    std::mutex guard;
    std::condition_variable changed;
    bool signalled = false;
    int descriptor = -1;
};

CEvent::CEvent(bool manualReset, const std::string& name) {
    if (name.empty()) {
        impl = std::make_shared<CEventImpl>(manualReset);
        return;
    }
    static std::mutex registryGuard;
    static std::map<std::string, std::weak_ptr<CEventImpl>> registry;
    std::lock_guard<std::mutex> hold(registryGuard);
    impl = registry[name].lock();
    alreadyExisted = impl != nullptr;
    if (!impl) {
        impl = std::make_shared<CEventImpl>(manualReset);
        registry[name] = impl;
    }
}

void CEvent::Set() { impl->Set(); }
void CEvent::Reset() { impl->Reset(); }
bool CEvent::Wait(uint32_t milliseconds) { return impl->Wait(milliseconds); }
bool CEvent::AlreadyExisted() const { return alreadyExisted; }
int CEvent::GetDescriptor() { return impl->GetDescriptor(); }

}  // namespace Ovrin
