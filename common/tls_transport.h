// CTLSTransport: TLS over a CSocket, as a stream transport of a connected socket. Every call is
// one non-blocking step; the encrypted bytes go through the socket layer (CSocket::Send and
// Recv), and the transport says which direction it waits for when TLS needs the other one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/exception.h"
#include "common/socket.h"
#include "common/socket_transport.h"
#include "common/tls_context.h"

namespace Ovrin {

class CTLSTransport : public CStreamTransport {
public:
    // The handshake failed: the peer's certificate was refused, or the peer does not speak TLS.
    class CHandshakeException : public CMessageException {
    public:
        explicit CHandshakeException(const std::string& text);
    };

    // With a client context the peer's certificate must be valid for peerName (a host name or a
    // dotted address), which is also sent as the server name; a server context presents its
    // certificate and takes an empty peerName.
    CTLSTransport(std::shared_ptr<CSocket> socket, CTLSContextPtr context, const std::string& peerName);
    // Sends the closing alert if the socket takes it at once; never waits.
    ~CTLSTransport() override;

    bool Handshake() override;
    // Run the handshake first while it is not done; its failures throw CHandshakeException.
    uint32_t Read(void* buffer, uint32_t length) override;
    uint32_t Write(const void* data, uint32_t length) override;
    uint32_t Pending() const override;
    int GetDescriptor() const override;
    unsigned GetWaitDirection(bool writing) const override;
    bool IsSecure() const override { return true; }

private:
    class CImpl;
    std::unique_ptr<CImpl> impl;
};

}  // namespace Ovrin
