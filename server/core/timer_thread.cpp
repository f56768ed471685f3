// The timer thread's ordered list of callbacks and its once-a-tick run of the due ones.
#include "server/core/timer_thread.h"

#include "common/trace.h"
#include "common/xml_document.h"

namespace Ovrin {

CTimerThread::CTimerThread(uint32_t tickMilliseconds) : tick(tickMilliseconds) {}

CTimerThread::~CTimerThread() {
    Terminate();
    WaitFor(kInfinite);
}

void CTimerThread::PushCallback(const CTimerCallbackPtr& callback) {
    Traced([&] {
        CScopedLock hold(listLock, kInfinite);
        // Walking from the back keeps callbacks of one due time in the order they were pushed.
        auto position = pending.end();
        while (position != pending.begin()) {
            auto previous = std::prev(position);
            if ((*previous)->GetDueTime() <= callback->GetDueTime())
                break;
            position = previous;
        }
        pending.insert(position, callback);
    }, "CTimerThread::PushCallback(0x%08x)", LabelAddress(callback.get()));
}

std::vector<CTimerCallbackPtr> CTimerThread::GetPendingCallbacks() const {
    CScopedLock hold(listLock, kInfinite);
    return {pending.begin(), pending.end()};
}

void CTimerThread::Execute() {
    Contained([&] {
        XMLInstallErrorHandler();
        while (!IsTerminating())
            Contained([&] { RunDueCallbacks(); }, "CTimerThread::Execute(): ignoring internal exception");
    }, "CTimerThread::Execute()");
}

// The list lock is not held while callbacks run, so that they may push callbacks themselves.
void CTimerThread::RunDueCallbacks() {
    std::list<CTimerCallbackPtr> due;
    {
        CScopedLock hold(listLock, kInfinite);
        if (!pending.empty()) {
            const time_t now = std::time(nullptr);
            auto end = pending.begin();
            while (end != pending.end() && (*end)->GetDueTime() <= now)
                ++end;
            due.splice(due.end(), pending, pending.begin(), end);
        }
    }
    for (const auto& callback : due) {
        Contained([&] { callback->Run(); },
                  "Timer thread caught a callback exception, ignoring and proceeding to the next callback");
        // Rescheduled only after its run, so runs of one task never overlap.
        if (callback->Repeats())
            PushCallback(std::make_shared<CTimerCallback>(callback->GetInterval(), callback->GetFunction(),
                                                          callback->GetArgument(), true));
    }
    Sleep(tick);
}

CTimerThread& TimerThread() {
    static CTimerThread timer;
    return timer;
}

}  // namespace Ovrin
