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

private:
    class CEventImpl;
    std::shared_ptr<CEventImpl> impl;
    bool alreadyExisted = false;
};

}  // namespace Ovrin
