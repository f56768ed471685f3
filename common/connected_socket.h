// CConnectedSocket and its kinds: one connection with buffered input and output, read in three
// transfer modes, output coalesced, ended by exception after a period of inactivity. Every call
// is one non-blocking step; callers wait on GetWait() between steps.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/lock.h"
#include "common/socket.h"
#include "common/socket_transport.h"
#include "common/socket_wait.h"
#include "common/stream_buffer.h"
#include "common/tls_context.h"

namespace Ovrin {

class CConnectedSocket {
public:
    // xferPIECE: a line as xferLINE, or, while no line end is in sight and at least length bytes
    // are, the first length bytes of a longer line (less a trailing CR, which may begin the
    // line end): so that a line of any length can be streamed through a bounded buffer.
    enum TTransferMode { xferEXACT = 0, xferUPTO = 1, xferLINE = 2, xferPIECE = 3 };
    static constexpr uint32_t kDefaultInactivityTimeout = 120;
    static constexpr uint32_t kScratchSize = 65536;

    virtual ~CConnectedSocket();
    CConnectedSocket(const CConnectedSocket&) = delete;
    CConnectedSocket& operator=(const CConnectedSocket&) = delete;

    // Queues data (null, 0 only flushes) and returns the bytes still pending; flush by calling
    // Send(nullptr, 0) until it returns 0.
    virtual uint32_t Send(const void* data, uint32_t length) = 0;
    // xferEXACT: length bytes or 0; xferUPTO: 1..length bytes or 0; xferLINE: the line into
    // *line and its length plus one, or 0; xferPIECE: as xferLINE for a whole line, the piece's
    // length itself for a piece. 0 means not yet available.
    virtual uint32_t Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) = 0;

    // The bytes exactly as given: callers include the CR LF.
    uint32_t SendLine(const std::string& line);
    // Returns the previous value and checks the new one at once.
    uint32_t SetInactivityTimeout(uint32_t seconds);
    // Longest line xferLINE accepts (without its end); a longer one throws. 0: no limit beyond
    // the buffer's. Returns the previous value.
    uint32_t SetMaxLineLength(uint32_t bytes);
    // See CSocket::GetPeerAddress.
    CInternetAddress GetPeerAddress(bool lookUp = true);
    void SetBlocking(bool blocking);

    // From now on the connection speaks TLS (STLS, or a port of implicit TLS): nothing may be
    // pending either way, so that no plain byte is ever taken for a secured one. A client
    // context checks the peer's certificate against peerName.
    virtual void StartTLS(const CTLSContextPtr& context, const std::string& peerName);
    // One step of the TLS handshake: true once done (at once without TLS). A refused
    // certificate or a peer without TLS throws CTLSTransport::CHandshakeException.
    virtual bool Handshake() { return true; }
    virtual bool IsSecure() const { return false; }

    // What the connection waits for: to write while output is pending, else to read; readyNow
    // when the last Recv's mode can be served from what is buffered already.
    virtual CSocketWait GetWait() const;
    uint32_t GetPendingOutput() const { return output->GetLength(); }
    uint32_t GetPendingInput() const { return input->GetLength(); }

    static const char* ModeText(TTransferMode mode);

protected:
    explicit CConnectedSocket(std::shared_ptr<CSocket> socket);

    void CheckInactivity() const;
    void Touch() { lastActivity = std::time(nullptr); }
    // Serves a request from input alone: the count for the mode, 0 when input does not hold it.
    // Remembers the request for GetWait.
    uint32_t TakeFromInput(void* buffer, uint32_t length, TTransferMode mode, std::string* line);
    bool InputServes(TTransferMode mode, uint32_t length) const;
    void CheckArguments(void* buffer, uint32_t length, TTransferMode mode, std::string* line) const;

    std::shared_ptr<CStreamBuffer> input;
    std::shared_ptr<CStreamBuffer> output;
    std::shared_ptr<CSocket> socket;
    std::shared_ptr<uint8_t[]> scratch;
    std::time_t lastActivity;
    uint32_t inactivityTimeout = kDefaultInactivityTimeout;
    uint32_t maxLineLength = 0;
    TTransferMode lastMode = xferLINE;
    uint32_t lastLength = 0;
};

// A TCP connection, through a stream transport (the plain socket unless one is given).
class CConnectedStreamSocket : public CConnectedSocket {
public:
    explicit CConnectedStreamSocket(std::shared_ptr<CSocket> socket);
    CConnectedStreamSocket(std::shared_ptr<CSocket> socket, std::unique_ptr<CStreamTransport> transport);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) override;
    CSocketWait GetWait() const override;
    void StartTLS(const CTLSContextPtr& context, const std::string& peerName) override;
    bool Handshake() override;
    bool IsSecure() const override { return transport->IsSecure(); }

private:
    std::unique_ptr<CStreamTransport> transport;
};

// Sends one request datagram to a fixed peer through a socket shared with its factory.
class CConnectedDatagramClientSocket : public CConnectedSocket, public CLock {
public:
    CConnectedDatagramClientSocket(std::shared_ptr<CSocket> socket, const CInternetAddress& peerAddress,
                                   const CInternetPort& peerPort);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) override;
    CSocketWait GetWait() const override;

private:
    CInternetAddress peerAddress;
    CInternetPort peerPort;
    bool sent = false;
};

// One received datagram, presented as read-only input.
class CConnectedDatagramServerSocket : public CConnectedSocket {
public:
    CConnectedDatagramServerSocket(std::shared_ptr<CSocket> socket, const void* data, uint32_t length);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) override;
    CSocketWait GetWait() const override;
};

}  // namespace Ovrin
