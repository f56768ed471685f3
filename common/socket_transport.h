// CStreamTransport: the one seam through which a connected stream socket moves bytes, so that
// another stream (TLS) can replace the plain socket without touching lines, buffers or time-outs.
// CSocketTransport is the plain one over a CSocket.
#pragma once

#include <cstdint>
#include <memory>

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
