// CThread over std::thread: the suspended start, Resume, Terminate and the waits.
#include "common/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "common/event.h"
#include "common/exception.h"
#include "common/lock.h"
#include "common/random.h"
#include "common/trace.h"

namespace Ovrin {

class CThread::CThreadImpl {
public:
    CThreadImpl() : stopEvent(true), finishedEvent(true) {}

    ~CThreadImpl() {
        if (!thread.joinable())
            return;
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
            return;
        }
        stopEvent.Set();
        thread.join();
    }

    void Start(CThread* owner, const std::shared_ptr<CThreadImpl>& self) {
        if (thread.joinable())
            return;  // already running
        this->owner = owner;
        thread = std::thread(&CThreadImpl::Trampoline, self);
    }

    bool WaitFor(uint32_t milliseconds) {
        return TracedFatal([&] {
            if (!thread.joinable() || thread.get_id() == std::this_thread::get_id())
                return !thread.joinable();
            if (!finishedEvent.Wait(milliseconds)) {
                if (milliseconds == kInfinite)
                    throw CMessageException("WaitForSingleObject(INFINITE) failed to wait for a thread to terminate");
                return false;
            }
            thread.join();
            return true;
        }, "CThread::CThreadImpl::WaitFor(%d)", static_cast<int>(milliseconds));
    }

    CEvent stopEvent;

private:
    // Holds its own reference, so that a body dropping the last reference to its thread object
    // does not pull the implementation from under the trampoline.
    static void Trampoline(std::shared_ptr<CThreadImpl> self) {
        SeedThreadRandom(static_cast<unsigned>(std::time(nullptr)) ^
                         static_cast<unsigned>(::syscall(SYS_gettid)));
        TracedFatal([&] { self->owner->Execute(); }, "Win32ThreadTrampoline(0x%08x)",
                    LabelAddress(self->owner));
        self->finishedEvent.Set();
    }

    std::thread thread;
    CEvent finishedEvent;
    CThread* owner = nullptr;
};

CThread::CThread() : impl(std::make_shared<CThreadImpl>()) {}

CThread::~CThread() = default;

void CThread::Resume() { impl->Start(this, impl); }

void CThread::Terminate() { impl->stopEvent.Set(); }

bool CThread::IsTerminating() const { return impl->stopEvent.Wait(0); }

bool CThread::WaitFor(uint32_t milliseconds) { return impl->WaitFor(milliseconds); }

void CThread::Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace Ovrin
