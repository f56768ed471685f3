// CTimerThread: the one thread that runs the server's delayed and periodic work: callbacks kept
// in order of due time and run, once per tick, on this thread.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "common/lock.h"
#include "common/thread.h"
#include "server/core/timer_callback.h"

namespace Ovrin {

class CTimerThread : public CThread {
public:
    // The pause between two checks for due callbacks.
    static constexpr uint32_t kTickMilliseconds = 1000;

    explicit CTimerThread(uint32_t tickMilliseconds = kTickMilliseconds);
    // Stops and joins the thread if its owner has not; pending callbacks are dropped.
    ~CTimerThread() override;

    // Inserts in order of due time, after every callback due at the same time or earlier.
    void PushCallback(const CTimerCallbackPtr& callback);
    // The pending callbacks in the order they will run.
    std::vector<CTimerCallbackPtr> GetPendingCallbacks() const;

protected:
    void Execute() override;

private:
    void RunDueCallbacks();

    const uint32_t tick;
    mutable CLock listLock;
    std::list<CTimerCallbackPtr> pending;  // ascending due time; equal times in order of pushing
};

// The process-wide timer thread; created suspended on first use.
CTimerThread& TimerThread();

}  // namespace Ovrin
