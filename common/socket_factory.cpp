// The socket factories: connecting out and accepting, one non-blocking step at a time.
#include "common/socket_factory.h"

#include <memory>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

CSocketFactory::CSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                               const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
    : socket(std::make_shared<CSocket>(localAddress, localPort)),
      localAddress(localAddress),
      localPort(localPort),
      remoteAddress(remoteAddress),
      remotePort(remotePort) {}

void CSocketFactory::SetBlocking(bool blocking) {
    Traced([&] { socket->SetBlocking(blocking); }, "CSocketFactory::SetBlocking(%s)", blocking ? "true" : "false");
}

CClientSocketFactory::CClientSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                                           const CInternetAddress& remoteAddress, const CInternetPort& remotePort)
    : CSocketFactory(localAddress, localPort, remoteAddress, remotePort) {}

bool CClientSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& connected) {
    return Traced([&] {
        switch (localPort.GetProtocol()) {
        case CInternetPort::TCP: {
            if (!socket->Connect(remoteAddress, remotePort))
                return false;
            connected = std::make_shared<CConnectedStreamSocket>(socket);
            // The connection keeps its socket; the next one starts from a fresh one.
            socket = std::make_shared<CSocket>(localAddress, localPort);
            return true;
        }
        case CInternetPort::UDP:
            connected = std::make_shared<CConnectedDatagramClientSocket>(socket, remoteAddress, remotePort);
            return true;
        default:
            throw CMessageException("Invalid socket type: '%s'", localPort.GetProtocolText());
        }
    }, "CClientSocketFactory::Connect(0x%08x)", LabelAddress(&connected));
}

CSocketWait CClientSocketFactory::GetWait() const {
    CSocketWait wait;
    if (localPort.GetProtocol() == CInternetPort::TCP) {
        wait.descriptor = socket->GetDescriptor();
        wait.directions = CSocketWait::kWrite;
    } else {
        wait.readyNow = true;
    }
    return wait;
}

CServerSocketFactory::CServerSocketFactory(const CInternetAddress& localAddress, const CInternetPort& localPort,
                                           const CInternetAddress& remoteAddressFilter,
                                           const CInternetPort& remotePortFilter)
    : CSocketFactory(localAddress, localPort, remoteAddressFilter, remotePortFilter) {
    Traced([&] {
        if (localPort.GetProtocol() == CInternetPort::TCP)
            socket->Listen();
    }, "CServerSocketFactory::CServerSocketFactory(%s:%s, %s:%s)", localAddress.GetName().c_str(),
       localPort.GetName().c_str(), remoteAddressFilter.GetName().c_str(), remotePortFilter.GetName().c_str());
}

bool CServerSocketFactory::Connect(std::shared_ptr<CConnectedSocket>& connected) {
    return Traced([&] {
        switch (localPort.GetProtocol()) {
        case CInternetPort::TCP: {
            std::shared_ptr<CSocket> accepted;
            if (!socket->Accept(remoteAddress, remotePort, accepted))
                return false;
            connected = std::make_shared<CConnectedStreamSocket>(accepted);
            return true;
        }
        case CInternetPort::UDP: {
            uint32_t size = socket->GetMaxDatagramSize();
            std::unique_ptr<uint8_t[]> datagram(new uint8_t[size]);
            uint32_t got = socket->RecvFrom(remoteAddress, remotePort, datagram.get(), size);
            if (got == 0)
                return false;
            connected = std::make_shared<CConnectedDatagramServerSocket>(socket, datagram.get(), got);
            return true;
        }
        default:
            throw CMessageException("not reached");
        }
    }, "CServerSocketFactory::Connect(0x%08x)", LabelAddress(&connected));
}

CSocketWait CServerSocketFactory::GetWait() const {
    CSocketWait wait;
    wait.descriptor = socket->GetDescriptor();
    wait.directions = CSocketWait::kRead;
    return wait;
}

}  // namespace Ovrin
