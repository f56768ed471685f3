// Socket factories: produce connected sockets one non-blocking step at a time, by connecting out
// (CClientSocketFactory) or by accepting a connection or a request datagram (CServerSocketFactory).
#pragma once

#include <memory>

#include "common/connected_socket.h"
#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/socket.h"
#include "common/socket_wait.h"

namespace Ovrin {

class CSocketFactory {
public:
    virtual ~CSocketFactory() = default;
    CSocketFactory(const CSocketFactory&) = delete;
    CSocketFactory& operator=(const CSocketFactory&) = delete;

    // True when this call produced a connected socket.
    virtual bool Connect(std::shared_ptr<CConnectedSocket>& connected) = 0;
    void SetBlocking(bool blocking);
    // What the next Connect waits for.
    virtual CSocketWait GetWait() const = 0;
    // The local address and port the factory's socket is bound to (port 0 asks for any).
    CInternetAddress GetBoundAddress() const { return socket->GetBoundAddress(); }
    CInternetPort GetBoundPort() const { return socket->GetBoundPort(); }

protected:
    CSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                   const CInternetAddress& remoteAddress, const CInternetPort& remotePort);

    std::shared_ptr<CSocket> socket;
    CInternetAddress localAddress;
    CInternetPort localPort;
    CInternetAddress remoteAddress;
    CInternetPort remotePort;
};

class CClientSocketFactory : public CSocketFactory {
public:
    CClientSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                         const CInternetAddress& remoteAddress, const CInternetPort& remotePort);
    // tcp: one connect step; udp: a datagram client socket for the remote peer at once.
    bool Connect(std::shared_ptr<CConnectedSocket>& connected) override;
    CSocketWait GetWait() const override;
};

class CServerSocketFactory : public CSocketFactory {
public:
    // Listens (tcp) on the local address and port; only peers passing the filters are served.
    CServerSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                         const CInternetAddress& remoteAddressFilter, const CInternetPort& remotePortFilter);
    // tcp: one accept step; udp: one datagram.
    bool Connect(std::shared_ptr<CConnectedSocket>& connected) override;
    CSocketWait GetWait() const override;
};

}  // namespace Ovrin
