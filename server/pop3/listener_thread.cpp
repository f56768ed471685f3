// The accept loop with its 10-second recovery, and the stop that wakes a blocked accept.
#include "server/pop3/listener_thread.h"

#include <mutex>

#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/xml_document.h"
#include "server/core/config.h"
#include "server/core/worker_pools.h"
#include "server/pop3/pop3_server_session.h"

namespace Ovrin {

namespace {

// The factory is replaced by the listener thread while a stop may read its endpoint.
std::mutex& EndpointGuard() {
    static std::mutex guard;
    return guard;
}

}  // namespace

CListenerThreadBase::CListenerThreadBase(const CInternetAddress& address, const CInternetPort& port)
    : address(address), port(port) {
    Traced([&] { CreateSocketFactory(); }, "CListenerThreadBase::CListenerThreadBase('%s', '%s')",
           address.GetName().c_str(), port.GetName().c_str());
}

CListenerThreadBase::~CListenerThreadBase() = default;

void CListenerThreadBase::CreateSocketFactory() {
    Traced([&] {
        auto created = std::make_shared<CServerSocketFactory>(address, port, CInternetAddress(), CInternetPort());
        created->SetBlocking(true);
        std::lock_guard<std::mutex> hold(EndpointGuard());
        boundAddress = created->GetBoundAddress();
        boundPort = created->GetBoundPort();
        factory = created;
    }, "CListenerThreadBase::CreateSocketFactory()");
}

void CListenerThreadBase::Execute() {
    Traced([&] {
        XMLInstallErrorHandler();
        while (!IsTerminating()) {
            try {
                if (!factory)
                    CreateSocketFactory();
                std::shared_ptr<CConnectedSocket> connection;
                // One accepted after the stop request is the stop's own wake-up call: dropped.
                if (factory->Connect(connection) && !IsTerminating()) {
                    // A connection that fails on its own (reset as soon as made) costs only
                    // itself: the endpoint stays, and the next client is served at once.
                    Contained([&] {
                        connection->SetInactivityTimeout(
                            static_cast<uint32_t>(Settings().incomingConnectionTimeoutSec.Get()));
                        connection->SetBlocking(false);
                        ParallelWorkerPool().PushWorkUnit(CreateWorkUnit(connection), false);
                    }, "CListenerThreadBase::Execute(): exception caught, dropping the connection");
                }
            } catch (const std::exception& e) {
                Logger().Error("CListenerThreadBase::Execute(): exception caught, resetting socket factory and sleeping "
                               "for %d second(s): %s",
                               kRecoverySeconds, e.what());
                factory.reset();
                // In steps, so that a stop request is seen within a second.
                for (int i = 0; i < kRecoverySeconds * 10 && !IsTerminating(); ++i)
                    Sleep(100);
            }
        }
    }, "CListenerThreadBase::Execute()");
}

void CListenerThreadBase::AbortListeningAndTerminate() {
    Traced([&] {
        Terminate();
        CInternetAddress target;
        CInternetPort targetPort;
        {
            std::lock_guard<std::mutex> hold(EndpointGuard());
            target = boundAddress;
            targetPort = boundPort;
        }
        if (target.IsAny())
            target = CInternetAddress(target.GetName());
        CClientSocketFactory waker(CInternetAddress(), CInternetPort(), target, targetPort);
        waker.SetBlocking(true);
        std::shared_ptr<CConnectedSocket> connection;
        waker.Connect(connection);
    }, "CListenerThreadBase::AbortListeningAndTerminate()");
}

CPOP3ListenerThread::CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port,
                                         CTLSContextPtr tls, bool implicitTLS)
    : CListenerThreadBase(address, port), tls(std::move(tls)), implicitTLS(implicitTLS) {}

CPOP3ListenerThread::~CPOP3ListenerThread() {
    // The body uses this object's CreateWorkUnit: end it while the object is whole, waking
    // its accept if the owner has not stopped it.
    Contained([&] {
        if (!WaitFor(0))
            AbortListeningAndTerminate();
    }, "CPOP3ListenerThread::~CPOP3ListenerThread()");
    Terminate();
    WaitFor(kInfinite);
}

CParallelWorkUnitPtr CPOP3ListenerThread::CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) {
    // The handshake runs in the session's first steps, on a worker, never on this thread.
    if (implicitTLS)
        connection->StartTLS(tls, "");
    return std::make_shared<CPOP3ServerConnection>(connection, tls);
}

}  // namespace Ovrin
