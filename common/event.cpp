#include "common/event.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "common/lock.h"

namespace Ovrin {

class CEvent::CEventImpl {
public:
    explicit CEventImpl(bool manualReset) : manualReset(manualReset) {}

    void Set() {
        {
            std::lock_guard<std::mutex> hold(guard);
            signalled = true;
        }
        if (manualReset)
            changed.notify_all();
        else
            changed.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> hold(guard);
        signalled = false;
    }

    bool Wait(uint32_t milliseconds) {
        std::unique_lock<std::mutex> hold(guard);
        auto isSet = [this] { return signalled; };
        if (milliseconds == kInfinite)
            changed.wait(hold, isSet);
        else if (!changed.wait_for(hold, std::chrono::milliseconds(milliseconds), isSet))
            return false;
        if (!manualReset)
            signalled = false;
        return true;
    }

private:
    const bool manualReset;
    std::mutex guard;
    std::condition_variable changed;
    bool signalled = false;
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

}  // namespace Ovrin
