// CEvent: a waitable event, manual-reset (stays set) or auto-reset (releases one waiter).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Ovrin {

class CEvent {
public:
    // Events of one non-empty name are one event within the process.
    explicit CEvent(bool manualReset, const std::string& name = "");

    void Set();
    void Reset();
    // True when the event was signalled within the time; kInfinite waits without a limit.
    bool Wait(uint32_t milliseconds);
    // True when a named event of this name existed before this one was made.
    bool AlreadyExisted() const;
    // A descriptor that polls readable while a manual-reset event is set, so that a thread
    // waiting on sockets can wait on the event in the same poll. Made on first use; owned by
    // the event.
    int GetDescriptor();

private:
    class CEventImpl;
    std::shared_ptr<CEventImpl> impl;
    bool alreadyExisted = false;
};

}  // namespace Ovrin
