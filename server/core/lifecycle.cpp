// Start-up and shutdown steps. Each reads the parameters it needs when it runs, so that a
// configuration without one of them ends start-up before the control loop.
#include "server/core/lifecycle.h"

#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/core/instances.h"
#include "server/core/mail_store.h"

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
        const int32_t spoolInterval = AtoI(Config().GetValue("spool-interval-sec"));
        const int32_t flushInterval = AtoI(Config().GetValue("flush-interval-sec"));
        // Seam: the timer thread's issue pushes the three repeating callbacks here, in this
        // order: user rescan, spool processing, ruleset flushing.
        Logger().Warning("ScheduleDefaultActions(): this server has no timer thread yet; user rescan every %d s, "
                         "spool processing every %d s and ruleset flushing every %d s do not run",
                         mailInterval, spoolInterval, flushInterval);
    }, "ScheduleDefaultActions()");
}

void StartThreads() {
    Traced([] {
        const std::string threadsPerPool = Config().GetValue("worker-threads-per-pool");
        const std::string port = Config().GetValue("pop3-port");
        const std::string address = Config().GetValue("pop3-address");
        // Seam: the worker pools' issue starts the sequential and then the parallel pool's
        // threads here, the listener's issue creates and starts the POP3 listener on
        // address:port (resolved), and the timer's issue starts the timer thread last.
        Logger().Warning("StartThreads(): this server has no worker pools (%s threads each) and no POP3 listener "
                         "(%s:%s) yet", threadsPerPool.c_str(), address.c_str(), port.c_str());
    }, "StartThreads()");
}

void StopThreads() {
    Traced([] {
        // Seam: timer thread, POP3 listener, parallel pool, sequential pool, in this order,
        // each terminated and joined without a time limit. Nothing runs yet.
    }, "StopThreads()");
}

}  // namespace Ovrin
