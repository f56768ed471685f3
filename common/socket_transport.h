// CStreamTransport: the one seam through which a connected stream socket moves bytes, so that
// another stream (TLS, common/tls_transport.h) can replace the plain socket without touching
// lines, buffers or time-outs. CSocketTransport is the plain one over a CSocket.
#pragma once

#include <cstdint>
#include <memory>

#include "common/socket_wait.h"

namespace Ovrin {

class CSocket;

class CStreamTransport {
public:
    virtual ~CStreamTransport() = default;
    // One non-blocking step each: bytes moved, 0 when it would block; a closed peer throws.
    virtual uint32_t Read(void* buffer, uint32_t length) = 0;
    virtual uint32_t Write(const void* data, uint32_t length) = 0;
    // Bytes the transport holds already that a Read hands out without the descriptor becoming
    // readable (decrypted records); 0 for a plain socket.
    virtual uint32_t Pending() const = 0;
    virtual int GetDescriptor() const = 0;
    // What lets the next Read (writing false) or Write (writing true) progress: its own
    // direction on a plain socket; TLS may have to move bytes the other way first.
    virtual unsigned GetWaitDirection(bool writing) const {
        return writing ? CSocketWait::kWrite : CSocketWait::kRead;
    }
    // One step of making the stream secure: true once it is (at once for a plain socket).
    virtual bool Handshake() { return true; }
    virtual bool IsSecure() const { return false; }
};

class CSocketTransport : public CStreamTransport {
public:
    explicit CSocketTransport(std::shared_ptr<CSocket> socket);
    uint32_t Read(void* buffer, uint32_t length) override;
    uint32_t Write(const void* data, uint32_t length) override;
    uint32_t Pending() const override { return 0; }
    int GetDescriptor() const override;

private:
    std::shared_ptr<CSocket> socket;
};

}  // namespace Ovrin
