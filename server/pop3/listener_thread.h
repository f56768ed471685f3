// CListenerThreadBase: one listening TCP endpoint whose thread accepts connections one after
// the other and hands each to the parallel worker pool as a new work unit; CPOP3ListenerThread
// makes that unit a POP3 server session, secured from the start on a port of implicit TLS.
#pragma once

#include <memory>

#include "common/connected_socket.h"
#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/socket_factory.h"
#include "common/thread.h"
#include "common/tls_context.h"
#include "server/core/work_unit.h"

namespace Ovrin {

class CListenerThreadBase : public CThread {
public:
    // Binds the endpoint at once, so a listener that cannot listen fails here; the thread is
    // created suspended.
    CListenerThreadBase(const CInternetAddress& address, const CInternetPort& port);
    ~CListenerThreadBase() override;

    // From another thread: asks the thread to stop and wakes its blocked accept with a
    // connection of its own.
    void AbortListeningAndTerminate();
    // Pause after a failed accept, before the endpoint is bound anew; a connection that fails
    // while it is handed on is dropped alone.
    static constexpr int kRecoverySeconds = 10;

protected:
    void Execute() override;
    virtual CParallelWorkUnitPtr CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) = 0;

private:
    void CreateSocketFactory();

    CInternetAddress address;
    CInternetPort port;
    std::shared_ptr<CServerSocketFactory> factory;
    // What AbortListeningAndTerminate connects to, noted while the factory exists.
    CInternetAddress boundAddress;
    CInternetPort boundPort;
};

class CPOP3ListenerThread : public CListenerThreadBase {
public:
    // With a TLS context the sessions offer STLS, or with implicitTLS speak TLS from the start.
    CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port, CTLSContextPtr tls = nullptr,
                        bool implicitTLS = false);
    ~CPOP3ListenerThread() override;

protected:
    CParallelWorkUnitPtr CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override;

private:
    CTLSContextPtr tls;
    bool implicitTLS;
};

}  // namespace Ovrin
