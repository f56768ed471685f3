// CSocket over BSD sockets. Every descriptor is close-on-exec, so children never inherit one;
// sends pass MSG_NOSIGNAL, so a closed peer is an error and never a signal.
#include "common/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "common/log.h"
#include "common/network.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

// Trace labels print addresses as 32-bit values.

// Linux reports no largest message size; this is the largest UDP payload over IPv4.
constexpr uint32_t kMaxUdpPayload = 65507;
// Room for a burst of clients while the listener hands the first ones on.
constexpr int kListenBacklog = 128;

const char* ProtocolText(int protocol) {
    return protocol == CInternetPort::TCP ? "tcp" : protocol == CInternetPort::UDP ? "udp" : "unknown";
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

sockaddr_in MakeSocketAddress(const CInternetAddress& address, const CInternetPort& port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address.GetAddress();
    result.sin_port = port.GetPort();
    return result;
}

bool PassesFilters(const sockaddr_in& peer, const CInternetAddress& addressFilter, const CInternetPort& portFilter) {
    if (!addressFilter.IsAny() && addressFilter.GetAddress() != peer.sin_addr.s_addr)
        return false;
    return portFilter.IsAny() || portFilter.GetPort() == peer.sin_port;
}

// The one process-wide lock under which sockets create their Acquire locks.
std::mutex& LockCreation() {
    static std::mutex creation;
    return creation;
}

}  // namespace

CSocket::CFailedToConnectException::CFailedToConnectException(const std::string& text)
    : CMessageException("%.255s", text.c_str()) {}

class CSocket::CSocketImpl {
public:
    CSocketImpl(const CInternetAddress& localAddress, const CInternetPort& localPort);
    CSocketImpl(int acceptedHandle, int protocol);
    ~CSocketImpl();

    CInternetAddress GetPeerAddress(bool lookUp) const;
    void Listen();
    bool Connect(const CInternetAddress& address, const CInternetPort& port);
    bool Accept(const CInternetAddress& addressFilter, const CInternetPort& portFilter,
                std::shared_ptr<CSocket>& accepted);
    uint32_t Send(const void* buffer, uint32_t length);
    uint32_t Recv(void* buffer, uint32_t length);
    uint32_t SendTo(const CInternetAddress& address, const CInternetPort& port, const void* buffer, uint32_t length);
    uint32_t RecvFrom(const CInternetAddress& addressFilter, const CInternetPort& portFilter, void* buffer,
                      uint32_t length);
    void SetBlocking(bool blocking);

    bool connectPending = false;
    uint32_t maxDatagramSize = 0;
    CInternetAddress boundAddress;
    CInternetPort boundPort;
    int handle = -1;
    int protocol = CInternetPort::TCP;

private:
    void FetchActualBoundAddressAndPort();
    void Cleanup();
    bool PollFor(short events, short& revents, const char* failure);
};

CSocket::CSocketImpl::CSocketImpl(const CInternetAddress& localAddress, const CInternetPort& localPort) {
    Traced([&] {
        Network();
        protocol = localPort.GetProtocol();
        int type, proto;
        if (protocol == CInternetPort::TCP) {
            type = SOCK_STREAM;
            proto = IPPROTO_TCP;
        } else if (protocol == CInternetPort::UDP) {
            type = SOCK_DGRAM;
            proto = IPPROTO_UDP;
        } else {
            throw CMessageException("Don't have any idea how to create '%s' sockets", localPort.GetProtocolText());
        }
        handle = ::socket(AF_INET, type | SOCK_CLOEXEC, proto);
        if (handle < 0)
            throw CMessageException("socket() failed with WSAGetLastError=%d", errno);
        try {
            int on = 1;
            if (setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
                throw CMessageException("setsockopt(SO_REUSEADDR) failed with WSAGetLastError=%d", errno);
            sockaddr_in local = MakeSocketAddress(localAddress, localPort);
            if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
                throw CMessageException("bind(%s:%s) failed with WSAGetLastError=%d",
                                        localAddress.GetDottedAddress().c_str(), localPort.GetName().c_str(), errno);
            FetchActualBoundAddressAndPort();
            if (protocol == CInternetPort::UDP)
                maxDatagramSize = kMaxUdpPayload;
            SetBlocking(false);
        } catch (...) {
            ::close(handle);
            handle = -1;
            throw;
        }
    }, "CSocketImpl::CSocketImpl(%s:%s, %s)", localAddress.GetName().c_str(), localPort.GetName().c_str(),
       localPort.GetProtocolText());
}

CSocket::CSocketImpl::CSocketImpl(int acceptedHandle, int protocol) : handle(acceptedHandle), protocol(protocol) {
    Traced([&] {
        try {
            FetchActualBoundAddressAndPort();
        } catch (...) {
            ::close(handle);
            handle = -1;
            throw;
        }
    }, "CSocketImpl::CSocketImpl(%d, %s)", acceptedHandle, ProtocolText(protocol));
}

CSocket::CSocketImpl::~CSocketImpl() { Cleanup(); }

void CSocket::CSocketImpl::Cleanup() {
    // A destructor cannot pass the close failure on; it is logged through the trace instead.
    Contained([&] {
        if (handle < 0)
            return;
        Contained([&] { SetBlocking(true); },
                  "CSocketImpl::Cleanup(): ignoring SetBlocking() failure and proceeding with closing socket");
        ::shutdown(handle, SHUT_RDWR);
        int closing = handle;
        handle = -1;
        if (::close(closing) != 0)
            throw CMessageException("closesocket() failed with WSAGetLastError=%d", errno);
    }, "CSocketImpl::Cleanup()");
}

void CSocket::CSocketImpl::FetchActualBoundAddressAndPort() {
    Traced([&] {
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        if (getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            throw CMessageException("getsockname() failed with WSAGetLastError=%d", errno);
        boundAddress = CInternetAddress(ntohl(bound.sin_addr.s_addr));
        boundPort = CInternetPort(ntohs(bound.sin_port), protocol);
    }, "CSocketImpl::FetchActualBoundAddressAndPort(%s)", ProtocolText(protocol));
}

CInternetAddress CSocket::CSocketImpl::GetPeerAddress(bool lookUp) const {
    return Traced([&] {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
            throw CMessageException("getpeername() failed with WSAGetLastError=%d", errno);
        return lookUp ? CInternetAddress(ntohl(peer.sin_addr.s_addr))
                      : CInternetAddress::FromNumber(ntohl(peer.sin_addr.s_addr));
    }, "CSocketImpl::GetPeerAddress()");
}

void CSocket::CSocketImpl::SetBlocking(bool blocking) {
    Traced([&] {
        int nonBlocking = blocking ? 0 : 1;
        if (ioctl(handle, FIONBIO, &nonBlocking) != 0)
            throw CMessageException("ioctlsocket(FIONBIO) failed with WSAGetLastError=%d", errno);
    }, "CSocketImpl::SetBlocking(%s)", blocking ? "true" : "false");
}

void CSocket::CSocketImpl::Listen() {
    Traced([&] {
        if (::listen(handle, kListenBacklog) != 0)
            throw CMessageException("listen() failed with WSAGetLastError=%d", errno);
    }, "CSocketImpl::Listen()");
}

bool CSocket::CSocketImpl::PollFor(short events, short& revents, const char* failure) {
    pollfd entry{handle, events, 0};
    int result;
    do {
        result = ::poll(&entry, 1, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        throw CMessageException(failure, errno);
    revents = entry.revents;
    return result > 0;
}

bool CSocket::CSocketImpl::Connect(const CInternetAddress& address, const CInternetPort& port) {
    return Traced([&] {
        if (!connectPending) {
            sockaddr_in remote = MakeSocketAddress(address, port);
            if (::connect(handle, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0)
                return true;
            int error = errno;
            if (error == EINPROGRESS || WouldBlock(error)) {
                connectPending = true;
                return false;
            }
            char text[256];
            std::snprintf(text, sizeof text, "connection attempt to %s:%s failed with WSAGetLastError=%d",
                          address.GetName().c_str(), port.GetName().c_str(), error);
            throw CFailedToConnectException(text);
        }
        // A failed attempt leaves the socket writable too; its pending error tells the two apart.
        short revents = 0;
        bool signalled = PollFor(POLLOUT, revents, "select(wr) failed with WSAGetLastError=%d");
        int pendingError = 0;
        socklen_t size = sizeof pendingError;
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &pendingError, &size) != 0)
            throw CMessageException("select(ex) failed with WSAGetLastError=%d", errno);
        if (pendingError != 0 || (revents & POLLERR) != 0)
            throw CFailedToConnectException("non-blocking connection attempt failed");
        if (!signalled)
            return false;
        if ((revents & POLLOUT) != 0)
            return true;
        throw CMessageException("should never happen - socket state indeterminable after a whole series of select's");
    }, "CSocketImpl::Connect(%s:%s)", address.GetName().c_str(), port.GetName().c_str());
}

bool CSocket::CSocketImpl::Accept(const CInternetAddress& addressFilter, const CInternetPort& portFilter,
                                  std::shared_ptr<CSocket>& accepted) {
    return Traced([&] {
        // Linux does not pass the listener's mode on to the new connection; do it here.
        int flags = SOCK_CLOEXEC;
        int mode = fcntl(handle, F_GETFL);
        if (mode >= 0 && (mode & O_NONBLOCK) != 0)
            flags |= SOCK_NONBLOCK;
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        int connection = ::accept4(handle, reinterpret_cast<sockaddr*>(&peer), &size, flags);
        if (connection < 0) {
            int error = errno;
            if (WouldBlock(error))
                return false;
            throw CMessageException("accept() failed with WSAGetLastError=%d", error);
        }
        if (!PassesFilters(peer, addressFilter, portFilter)) {
            ::close(connection);
            return false;
        }
        accepted = std::make_shared<CSocket>(connection, protocol);
        return true;
    }, "CSocketImpl::Accept(%s:%s, 0x%08x)", addressFilter.GetName().c_str(), portFilter.GetName().c_str(),
       LabelAddress(&accepted));
}

uint32_t CSocket::CSocketImpl::Send(const void* buffer, uint32_t length) {
    return Traced([&] {
        ssize_t sent = ::send(handle, buffer, length, MSG_NOSIGNAL);
        if (sent < 0) {
            int error = errno;
            if (WouldBlock(error))
                return 0u;
            throw CMessageException("send() failed with WSAGetLastError=%d", error);
        }
        if (sent == 0 && length > 0)
            throw CMessageException("send() returned reset connection with WSAGetLastError=%d", errno);
        return static_cast<uint32_t>(sent);
    }, "CSocketImpl::Send(0x%08x, %u)", LabelAddress(buffer), length);
}

uint32_t CSocket::CSocketImpl::Recv(void* buffer, uint32_t length) {
    return Traced([&] {
        errno = 0;
        ssize_t got = ::recv(handle, buffer, length, 0);
        if (got < 0) {
            int error = errno;
            if (WouldBlock(error))
                return 0u;
            throw CMessageException("recv() failed with WSAGetLastError=%d", error);
        }
        if (got == 0 && length > 0)
            throw CMessageException("recv() returned reset connection with WSAGetLastError=%d", errno);
        return static_cast<uint32_t>(got);
    }, "CSocketImpl::Recv(0x%08x, %u)", LabelAddress(buffer), length);
}

uint32_t CSocket::CSocketImpl::SendTo(const CInternetAddress& address, const CInternetPort& port,
                                      const void* buffer, uint32_t length) {
    return Traced([&] {
        sockaddr_in remote = MakeSocketAddress(address, port);
        ssize_t sent = ::sendto(handle, buffer, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&remote),
                                sizeof remote);
        if (sent < 0) {
            int error = errno;
            if (WouldBlock(error))
                return 0u;
            throw CMessageException("sendto() failed with WSAGetLastError=%d", error);
        }
        if (sent == 0 && length > 0)
            throw CMessageException("sendto() returned reset connection with WSAGetLastError=%d", errno);
        return static_cast<uint32_t>(sent);
    }, "CSocketImpl::SendTo(%s:%s, 0x%08x, %u)", address.GetName().c_str(), port.GetName().c_str(),
       LabelAddress(buffer), length);
}

uint32_t CSocket::CSocketImpl::RecvFrom(const CInternetAddress& addressFilter, const CInternetPort& portFilter,
                                        void* buffer, uint32_t length) {
    return Traced([&] {
        sockaddr_in sender{};
        socklen_t size = sizeof sender;
        errno = 0;
        ssize_t got = ::recvfrom(handle, buffer, length, 0, reinterpret_cast<sockaddr*>(&sender), &size);
        if (got < 0) {
            int error = errno;
            if (WouldBlock(error))
                return 0u;
            throw CMessageException("recvfrom() failed with WSAGetLastError=%d", error);
        }
        // A datagram socket has no connection to lose: an empty datagram is just nothing to serve.
        if (got == 0 && length > 0 && protocol != CInternetPort::UDP)
            throw CMessageException("recvfrom() returned reset connection with WSAGetLastError=%d", errno);
        if (!PassesFilters(sender, addressFilter, portFilter))
            return 0u;
        return static_cast<uint32_t>(got);
    }, "CSocketImpl::RecvFrom(%s:%s, 0x%08x, %u)", addressFilter.GetName().c_str(), portFilter.GetName().c_str(),
       LabelAddress(buffer), length);
}

CSocket::CSocket(const CInternetAddress& localAddress, const CInternetPort& localPort)
    : impl(std::make_shared<CSocketImpl>(localAddress, localPort)) {}

CSocket::CSocket(int acceptedHandle, int protocol) : impl(std::make_shared<CSocketImpl>(acceptedHandle, protocol)) {}

CSocket::~CSocket() = default;

CInternetAddress CSocket::GetBoundAddress() const {
    return Traced([&] { return impl->boundAddress; }, "CSocket::GetBoundAddress()");
}

CInternetPort CSocket::GetBoundPort() const {
    return Traced([&] { return impl->boundPort; }, "CSocket::GetBoundPort()");
}

CInternetAddress CSocket::GetPeerAddress(bool lookUp) const {
    return Traced([&] { return impl->GetPeerAddress(lookUp); }, "CSocket::GetPeerAddress()");
}

int CSocket::GetProtocol() const { return impl->protocol; }

int CSocket::GetDescriptor() const { return impl->handle; }

void CSocket::Listen() {
    Traced([&] { impl->Listen(); }, "CSocket::Listen()");
}

bool CSocket::Connect(const CInternetAddress& address, const CInternetPort& port) {
    return Traced([&] { return impl->Connect(address, port); }, "CSocket::Connect(%s:%s)", address.GetName().c_str(),
                  port.GetName().c_str());
}

bool CSocket::Accept(const CInternetAddress& addressFilter, const CInternetPort& portFilter,
                     std::shared_ptr<CSocket>& accepted) {
    return Traced([&] { return impl->Accept(addressFilter, portFilter, accepted); }, "CSocket::Accept(%s:%s, 0x%08x)",
                  addressFilter.GetName().c_str(), portFilter.GetName().c_str(), LabelAddress(&accepted));
}

uint32_t CSocket::Send(const void* buffer, uint32_t length) {
    return Traced([&] { return impl->Send(buffer, length); }, "CSocket::Send(0x%08x, %u)", LabelAddress(buffer),
                                                              length);
}

uint32_t CSocket::Recv(void* buffer, uint32_t length) {
    return Traced([&] { return impl->Recv(buffer, length); }, "CSocket::Recv(0x%08x, %u)", LabelAddress(buffer),
                                                              length);
}

uint32_t CSocket::SendTo(const CInternetAddress& address, const CInternetPort& port, const void* buffer,
                         uint32_t length) {
    return Traced([&] { return impl->SendTo(address, port, buffer, length); }, "CSocket::SendTo(%s:%s, 0x%08x, %u)",
                  address.GetName().c_str(), port.GetName().c_str(), LabelAddress(buffer), length);
}

uint32_t CSocket::RecvFrom(const CInternetAddress& addressFilter, const CInternetPort& portFilter, void* buffer,
                           uint32_t length) {
    return Traced([&] { return impl->RecvFrom(addressFilter, portFilter, buffer, length); },
                  "CSocket::RecvFrom(%s:%s, 0x%08x, %u)", addressFilter.GetName().c_str(),
                  portFilter.GetName().c_str(), LabelAddress(buffer), length);
}

uint32_t CSocket::GetMaxDatagramSize() const {
    return Traced([&] { return impl->maxDatagramSize; }, "CSocket::GetMaxDatagramSize()");
}

void CSocket::SetBlocking(bool blocking) {
    Traced([&] { impl->SetBlocking(blocking); }, "CSocket::SetBlocking(%s)", blocking ? "true" : "false");
}

void CSocket::SetNoDelay() {
    Traced([&] {
        int on = 1;
        if (setsockopt(impl->handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
            throw CMessageException("setsockopt(TCP_NODELAY) failed with WSAGetLastError=%d", errno);
    }, "CSocket::SetNoDelay()");
}

CLock& CSocket::GetLock() {
    if (CLock* existing = lock.load(std::memory_order_acquire))
        return *existing;
    std::lock_guard<std::mutex> hold(LockCreation());
    if (CLock* existing = lock.load(std::memory_order_relaxed))
        return *existing;
    lockOwner = std::make_unique<CLock>();
    lock.store(lockOwner.get(), std::memory_order_release);
    return *lockOwner;
}

bool CSocket::Acquire(uint32_t milliseconds) {
    return Traced([&] { return GetLock().Lock(milliseconds); }, "CSocket::Acquire(%d)", static_cast<int>(milliseconds));
}

void CSocket::Release() {
    Traced([&] {
        CLock* existing = lock.load(std::memory_order_acquire);
        if (existing == nullptr)
            throw CMessageException("Invalid call to Release(), no prior call to Acquire()");
        existing->Unlock();
    }, "CSocket::Release()");
}

}  // namespace Ovrin
