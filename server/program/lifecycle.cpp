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
#include "server/pop3/pop3_security.h"

namespace Ovrin {

namespace {

// The entry's POP3 listeners, from StartThreads to StopThreads: the plain one (STLS where the
// server has a certificate) and the one of implicit TLS, which exists only then.
std::shared_ptr<CPOP3ListenerThread>& POP3Listener() {
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

std::shared_ptr<CPOP3ListenerThread>& POP3SListener() {
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

void StopListener(std::shared_ptr<CPOP3ListenerThread>& listener) {
    if (!listener)
        return;
    listener->AbortListeningAndTerminate();
    listener->WaitFor(kInfinite);
    listener.reset();
}

}  // namespace

void Startup() {
    Traced([] {
        // A value that is no number, or out of its range, ends start-up here rather than a task later.
        Config().CheckSettings();
        // Read once here, so that a wrong value ends start-up instead of every login.
        POP3PlaintextAuth();
        if (Config().HasValue("tls-ca-file"))
            POP3ClientTLSContext();
        SetPOP3ClientConnectionFactory(MakePOP3ClientConnection);
        SpoolRawMessages();
        ScheduleDefaultActions();
    }, "Startup()");
}

void ScheduleDefaultActions() {
    Traced([] {
        const int32_t mailInterval = Settings().mailIntervalSec.Get();
        TimerThread().PushCallback(std::make_shared<CTimerCallback>(mailInterval, TimerCallback_RescanUsers, "", true));
        const int32_t spoolInterval = Settings().spoolIntervalSec.Get();
        TimerThread().PushCallback(
            std::make_shared<CTimerCallback>(spoolInterval, TimerCallback_SpoolMessages, "", true));
        const int32_t flushInterval = Settings().flushIntervalSec.Get();
        TimerThread().PushCallback(
            std::make_shared<CTimerCallback>(flushInterval, TimerCallback_FlushRuleSets, "", true));
    }, "ScheduleDefaultActions()");
}

void StartThreads() {
    Traced([] {
        // The pools are made here, on first use: a bad thread count ends start-up.
        SequentialWorkerPool().Start();
        ParallelWorkerPool().Start();
        const std::string port = Settings().pop3Port.Get();
        const std::string address = Config().GetValue("pop3-address");
        const CTLSContextPtr tls = MakePOP3ServerTLSContext();
        if (!tls && POP3PlaintextAuth() == TPlaintextAuth::TLSOnly)
            throw CMessageException("The configuration parameter pop3-plaintext-auth is 'tls-only', which needs "
                                    "tls-certificate-file and tls-key-file");
        // Both endpoints are bound before either runs: one that cannot listen ends start-up.
        auto plain = std::make_shared<CPOP3ListenerThread>(CInternetAddress(address),
                                                           CInternetPort(port, CInternetPort::TCP), tls, false);
        std::shared_ptr<CPOP3ListenerThread> implicit;
        if (tls) {
            const std::string tlsAddress = Config().GetValue("pop3s-address");
            const std::string tlsPort = Settings().pop3sPort.Get();
            implicit = std::make_shared<CPOP3ListenerThread>(
                CInternetAddress(tlsAddress), CInternetPort(tlsPort, CInternetPort::TCP), tls, true);
        }
        POP3Listener() = plain;
        plain->Resume();
        if (implicit) {
            POP3SListener() = implicit;
            implicit->Resume();
        }
        TimerThread().Resume();
    }, "StartThreads()");
}

void StopThreads() {
    Traced([] {
        TimerThread().Terminate();
        TimerThread().WaitFor(kInfinite);
        StopListener(POP3Listener());
        StopListener(POP3SListener());
        ParallelWorkerPool().Stop();
        SequentialWorkerPool().Stop();
    }, "StopThreads()");
}

}  // namespace Ovrin
