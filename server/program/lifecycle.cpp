// Start-up and shutdown steps. Each reads the parameters it needs when it runs, so that a
// configuration without one of them ends start-up before the control loop.
#include "server/program/lifecycle.h"

#include "common/exception.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/program/instances.h"
#include "server/core/mail_store.h"
#include "server/program/timer_tasks.h"
#include "server/core/timer_thread.h"
#include "server/core/worker_pools.h"
#include "server/pop3/listener_thread.h"

namespace Ovrin {

namespace {

// The entry's POP3 listener, from StartThreads to StopThreads.
std::shared_ptr<CPOP3ListenerThread>& POP3Listener() {
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

}  // namespace

void Startup() {
    Traced([] {
        // The grouping of a collection divides by it.
        const std::string perSync = Config().GetValue("pop3-messages-per-sync");
        if (AtoI(perSync) < 1)
            throw CMessageException("The configuration parameter pop3-messages-per-sync is '%s', it must be at least 1",
                                    perSync.c_str());
        SetPOP3ClientConnectionFactory(MakePOP3ClientConnection);
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
        POP3Listener() = std::make_shared<CPOP3ListenerThread>(CInternetAddress(address),
                                                               CInternetPort(port, CInternetPort::TCP));
        POP3Listener()->Resume();
        TimerThread().Resume();
    }, "StartThreads()");
}

void StopThreads() {
    Traced([] {
        TimerThread().Terminate();
        TimerThread().WaitFor(kInfinite);
        if (POP3Listener()) {
            POP3Listener()->AbortListeningAndTerminate();
            POP3Listener()->WaitFor(kInfinite);
            POP3Listener().reset();
        }
        ParallelWorkerPool().Stop();
        SequentialWorkerPool().Stop();
    }, "StopThreads()");
}

}  // namespace Ovrin
