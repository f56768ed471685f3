// CSocket: one IPv4 socket, bound from creation to destruction and non-blocking unless switched;
// connect, listen, accept, send and receive are each one step that never waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/exception.h"
#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/lock.h"

namespace Ovrin {

class CSocket : public CLockable {
public:
    // A connection attempt that definitely failed, as opposed to a local error.
    class CFailedToConnectException : public CMessageException {
    public:
        // The text is cut to 255 characters.
        explicit CFailedToConnectException(const std::string& text);
    };

    // Creates the socket for the port's protocol, sets SO_REUSEADDR and binds it.
    CSocket(const CInternetAddress& localAddress, const CInternetPort& localPort);
    // Takes over an accepted descriptor.
    CSocket(int acceptedHandle, int protocol);
    ~CSocket() override;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    CInternetAddress GetBoundAddress() const;
    CInternetPort GetBoundPort() const;
    // The peer's address; its name is looked up (which may block) unless lookUp is false, when
    // the name is the dotted form.
    CInternetAddress GetPeerAddress(bool lookUp = true) const;
    int GetProtocol() const;
    // The descriptor to wait on (poll); -1 once closed.
    int GetDescriptor() const;

    void Listen();
    // One step: true once connected; false while the attempt is under way.
    bool Connect(const CInternetAddress& address, const CInternetPort& port);
    // One step: true with a new connection from a peer that passes the filters (0.0.0.0 and port
    // 0 pass everyone); false when none is waiting or it was dropped by the filters.
    bool Accept(const CInternetAddress& addressFilter, const CInternetPort& portFilter,
                std::shared_ptr<CSocket>& accepted);
    // Bytes transferred; 0 when the call would block. A closed peer throws.
    uint32_t Send(const void* buffer, uint32_t length);
    uint32_t Recv(void* buffer, uint32_t length);
    uint32_t SendTo(const CInternetAddress& address, const CInternetPort& port, const void* buffer, uint32_t length);
    // 0 also for a datagram from a sender the filters reject (it is discarded).
    uint32_t RecvFrom(const CInternetAddress& addressFilter, const CInternetPort& portFilter, void* buffer,
                      uint32_t length);
    // The largest datagram the socket takes (UDP); 0 for TCP.
    uint32_t GetMaxDatagramSize() const;
    void SetBlocking(bool blocking);
    // Sends small writes at once instead of holding them until the peer acknowledges (TCP).
    void SetNoDelay();

    // Serialise the users of a shared socket; the lock is made on the first Acquire.
    bool Acquire(uint32_t milliseconds);
    void Release();
    bool Lock(uint32_t milliseconds) override { return Acquire(milliseconds); }
    void Unlock() override { Release(); }

private:
    class CSocketImpl;
    CLock& GetLock();

    std::shared_ptr<CSocketImpl> impl;
    std::atomic<CLock*> lock{nullptr};
    std::unique_ptr<CLock> lockOwner;
};

}  // namespace Ovrin
