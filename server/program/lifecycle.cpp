// Start-up and shutdown steps. Each reads the parameters it needs when it runs, so that a
// configuration without one of them ends start-up before the control loop.
#include "server/program/lifecycle.h"

#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/program/instances.h"
#include "server/core/mail_store.h"
#include "server/program/timer_tasks.h"
#include "server/core/timer_thread.h"
#include "server/core/worker_pools.h"

namespace Ovrin {

void Startup() {
    Traced([] {
        SpoolRawMessages();
        ScheduleDefaultActions();
    }, "Startup()");
}

void ScheduleDefaultActions() {
    Traced([] {
        const int32_t mailInterval = AtoI(Config().GetValue("mail-interval-sec"));
        TimerThread().PushCallback(std::make_shared<CTimerCallback>(mailInterval, TimerCallback_RescanUsers, "", true));
        const int32_t spoolInterval = AtoI(Config().GetValue("spool-interval-sec"));
        TimerThread().PushCallback(
            std::make_shared<CTimerCallback>(spoolInterval, TimerCallback_SpoolMessages, "", true));
        const int32_t flushInterval = AtoI(Config().GetValue("flush-interval-sec"));
        TimerThread().PushCallback(
            std::make_shared<CTimerCallback>(flushInterval, TimerCallback_FlushRuleSets, "", true));
    }, "ScheduleDefaultActions()");
}

void StartThreads() {
    Traced([] {
        // The pools are made here, on first use: a bad thread count ends start-up.
        SequentialWorkerPool().Start();
        ParallelWorkerPool().Start();
        const std::string port = Config().GetValue("pop3-port");
        const std::string address = Config().GetValue("pop3-address");
        // Seam: the listener's issue creates and starts the POP3 listener on address:port
        // (resolved) here.
        Logger().Warning("StartThreads(): this server has no POP3 listener (%s:%s) yet", address.c_str(), port.c_str());
        TimerThread().Resume();
    }, "StartThreads()");
}

void StopThreads() {
    Traced([] {
        TimerThread().Terminate();
        TimerThread().WaitFor(kInfinite);
        // Seam: the listener's issue stops and joins the POP3 listener here.
        ParallelWorkerPool().Stop();
        SequentialWorkerPool().Stop();
    }, "StopThreads()");
}

}  // namespace Ovrin
