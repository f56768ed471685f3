// CConnectedSocket: buffered reads in the three transfer modes, coalesced writes and the
// inactivity time-out, over the connection's stream transport.
#include "common/connected_socket.h"

#include <cstring>

#include "common/exception.h"
#include "common/log.h"
#include "common/tls_transport.h"
#include "common/trace.h"

namespace Ovrin {

CConnectedSocket::CConnectedSocket(std::shared_ptr<CSocket> socket)
    : input(std::make_shared<CStreamBuffer>()),
      output(std::make_shared<CStreamBuffer>()),
      socket(std::move(socket)),
      scratch(new uint8_t[kScratchSize]),
      lastActivity(std::time(nullptr)) {}

CConnectedSocket::~CConnectedSocket() {
    Contained([&] {
        if (input->GetLength() > 0)
            Logger().Warning("Pending input: %u bytes discarded", input->GetLength());
        if (output->GetLength() > 0)
            Logger().Warning("Pending output: %u bytes discarded", output->GetLength());
        input.reset();
        output.reset();
        socket.reset();
    }, "CConnectedSocket::~CConnectedSocket()");
}

const char* CConnectedSocket::ModeText(TTransferMode mode) {
    return mode == xferEXACT ? "exact" : mode == xferUPTO ? "upto" : mode == xferPIECE ? "piece" : "line";
}

void CConnectedSocket::CheckInactivity() const {
    if (std::time(nullptr) > lastActivity + static_cast<std::time_t>(inactivityTimeout))
        throw CMessageException("Inactivity timeout %u seconds", inactivityTimeout);
}

uint32_t CConnectedSocket::SetInactivityTimeout(uint32_t seconds) {
    uint32_t previous = inactivityTimeout;
    inactivityTimeout = seconds;
    CheckInactivity();
    return previous;
}

uint32_t CConnectedSocket::SetMaxLineLength(uint32_t bytes) {
    uint32_t previous = maxLineLength;
    maxLineLength = bytes;
    return previous;
}

uint32_t CConnectedSocket::SendLine(const std::string& line) {
    return Traced([&] { return Send(line.data(), static_cast<uint32_t>(line.size())); },
                  "CConnectedSocket::SendLine('%s')", line.c_str());
}

CInternetAddress CConnectedSocket::GetPeerAddress(bool lookUp) {
    return Traced([&] { return socket->GetPeerAddress(lookUp); }, "CConnectedSocket::GetPeerAddress()");
}

void CConnectedSocket::SetBlocking(bool blocking) {
    Traced([&] { socket->SetBlocking(blocking); }, "CConnectedSocket::SetBlocking(%s)", blocking ? "true" : "false");
}

void CConnectedSocket::StartTLS(const CTLSContextPtr& context, const std::string& peerName) {
    Traced([&] { throw CMessageException("TLS is only available on stream connections"); },
           "CConnectedSocket::StartTLS(0x%08x, '%s')", LabelAddress(context.get()), peerName.c_str());
}

void CConnectedSocket::CheckArguments(void* buffer, uint32_t length, TTransferMode mode, std::string* line) const {
    if (mode == xferEXACT || mode == xferUPTO) {
        if (buffer == nullptr || length == 0)
            throw CMessageException("Invalid buffer with xferEXACT or xferUPTO");
    } else if (line == nullptr) {
        throw CMessageException("Null pointer to a string with xferLINE");
    } else if (mode == xferPIECE && length < 2) {
        throw CMessageException("A piece of a line must be allowed two bytes at least");
    }
}

bool CConnectedSocket::InputServes(TTransferMode mode, uint32_t length) const {
    if (mode == xferEXACT)
        return length > 0 && input->GetLength() >= length;
    if (mode == xferUPTO)
        return input->GetLength() > 0;
    if (mode == xferPIECE)
        return input->HasLine() || input->GetLength() >= length;
    return input->HasLine();
}

uint32_t CConnectedSocket::TakeFromInput(void* buffer, uint32_t length, TTransferMode mode, std::string* line) {
    lastMode = mode == xferEXACT || mode == xferUPTO || mode == xferPIECE ? mode : xferLINE;
    lastLength = length;
    if (mode == xferEXACT)
        return input->GetLength() >= length ? input->Read(buffer, length) : 0;
    if (mode == xferUPTO)
        return input->GetLength() > 0 ? input->Read(buffer, length) : 0;
    // A piece when no line ends within its length; a line end may be further on already.
    if (mode == xferPIECE && (input->GetLength() >= length ? std::memchr(input->GetData(), '\n', length) == nullptr
                                                            : !input->HasLine())) {
        if (input->GetLength() < length)
            return 0;
        const uint32_t size = input->GetData()[length - 1] == '\r' ? length - 1 : length;
        line->assign(reinterpret_cast<const char*>(input->GetData()), size);
        return input->Read(nullptr, size);
    }
    uint32_t result = input->ReadLine(line);
    // A line end may still follow a trailing CR, hence the one byte of grace.
    if (maxLineLength > 0 && (result > maxLineLength + 1 || (result == 0 && input->GetLength() > maxLineLength + 1)))
        throw CMessageException("Line too long, may not exceed %u bytes", maxLineLength);
    return result;
}

CSocketWait CConnectedSocket::GetWait() const {
    CSocketWait wait;
    wait.descriptor = socket ? socket->GetDescriptor() : -1;
    if (output->GetLength() > 0) {
        wait.directions = CSocketWait::kWrite;
    } else {
        wait.directions = CSocketWait::kRead;
        wait.readyNow = InputServes(lastMode, lastLength);
    }
    return wait;
}

// ---- stream

CConnectedStreamSocket::CConnectedStreamSocket(std::shared_ptr<CSocket> socket)
    : CConnectedStreamSocket(socket, std::make_unique<CSocketTransport>(socket)) {}

CConnectedStreamSocket::CConnectedStreamSocket(std::shared_ptr<CSocket> socket,
                                               std::unique_ptr<CStreamTransport> transport)
    : CConnectedSocket(std::move(socket)), transport(std::move(transport)) {}

uint32_t CConnectedStreamSocket::Send(const void* data, uint32_t length) {
    return Traced([&] {
        CheckInactivity();
        if (data != nullptr && length > 0) {
            output->Write(data, length);
            // Small writes wait for more, unless the peer has heard nothing for half the time-out.
            if (!output->IsOverLimit() &&
                std::time(nullptr) <= lastActivity + static_cast<std::time_t>(inactivityTimeout / 2))
                return output->GetLength();
        }
        if (output->GetLength() > 0) {
            uint32_t sent = transport->Write(output->GetData(), output->GetLength());
            if (sent > 0) {
                output->Read(nullptr, sent);
                Touch();
            }
        }
        return output->GetLength();
    }, "CConnectedStreamSocket::Send(0x%08x, %u)", LabelAddress(data), length);
}

uint32_t CConnectedStreamSocket::Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) {
    return Traced([&] {
        CheckArguments(buffer, length, mode, line);
        CheckInactivity();
        for (;;) {
            if (uint32_t taken = TakeFromInput(buffer, length, mode, line))
                return taken;
            uint32_t got = transport->Read(scratch.get(), kScratchSize);
            if (got == 0)
                return 0u;
            input->Write(scratch.get(), got);
            Touch();
        }
    }, "CConnectedStreamSocket::Recv(0x%08x, %u, %s, 0x%08x)", LabelAddress(buffer), length, ModeText(mode),
       LabelAddress(line));
}

CSocketWait CConnectedStreamSocket::GetWait() const {
    CSocketWait wait = CConnectedSocket::GetWait();
    wait.descriptor = transport->GetDescriptor();
    const bool writing = wait.directions == CSocketWait::kWrite;
    if (!writing && transport->Pending() > 0)
        wait.readyNow = true;
    wait.directions = transport->GetWaitDirection(writing);
    return wait;
}

void CConnectedStreamSocket::StartTLS(const CTLSContextPtr& context, const std::string& peerName) {
    Traced([&] {
        if (transport->IsSecure())
            throw CMessageException("TLS is active already");
        // Bytes that came before the handshake are plain text that a third party may have put
        // there; they must never pass for part of the secured stream.
        if (input->GetLength() > 0)
            throw CMessageException("Unexpected %u bytes before the TLS handshake", input->GetLength());
        if (output->GetLength() > 0)
            throw CMessageException("Pending output: %u bytes before the TLS handshake", output->GetLength());
        transport = std::make_unique<CTLSTransport>(socket, context, peerName);
    }, "CConnectedStreamSocket::StartTLS(0x%08x, '%s')", LabelAddress(context.get()), peerName.c_str());
}

bool CConnectedStreamSocket::Handshake() {
    // Not traced: a failed handshake is reported whole, in one line, by the caller.
    CheckInactivity();
    if (!transport->Handshake())
        return false;
    Touch();
    return true;
}

// ---- datagram client

CConnectedDatagramClientSocket::CConnectedDatagramClientSocket(std::shared_ptr<CSocket> socket,
                                                               const CInternetAddress& peerAddress,
                                                               const CInternetPort& peerPort)
    : CConnectedSocket(std::move(socket)), peerAddress(peerAddress), peerPort(peerPort) {}

uint32_t CConnectedDatagramClientSocket::Send(const void* data, uint32_t length) {
    return Traced([&] {
        CheckInactivity();
        uint32_t limit = socket->GetMaxDatagramSize();
        if (length > limit)
            throw CMessageException("Too much data to be sent in a single datagram, may not exceed %u bytes", limit);
        if (data != nullptr && length > 0) {
            // One request datagram per socket: a second payload is refused even after the first left.
            if (output->GetLength() > 0 || sent)
                throw CMessageException("Connected datagram client socket can only be sent to once");
            output->Write(data, length);
        }
        uint32_t pending = output->GetLength();
        if (pending > 0) {
            uint32_t accepted;
            {
                CScopedLock hold(*socket, kInfinite);
                accepted = socket->SendTo(peerAddress, peerPort, output->GetData(), pending);
            }
            if (accepted == pending) {
                output->Read(nullptr, pending);
                sent = true;
                Touch();
            } else if (accepted != 0) {
                throw CMessageException("Datagram sendto semantics violation, sent incomplete packet: %u out of %u bytes",
                                        accepted, pending);
            }
        }
        return output->GetLength();
    }, "CConnectedDatagramClientSocket::Send(0x%08x, %u)", LabelAddress(data), length);
}

uint32_t CConnectedDatagramClientSocket::Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) {
    return Traced([&]() -> uint32_t {
        throw CMessageException("Connected datagram client socket can not be used for receiving");
    }, "CConnectedDatagramClientSocket::Recv(0x%08x, %u, %s, 0x%08x)", LabelAddress(buffer), length, ModeText(mode),
       LabelAddress(line));
}

CSocketWait CConnectedDatagramClientSocket::GetWait() const {
    CSocketWait wait;
    if (output->GetLength() > 0) {
        wait.descriptor = socket->GetDescriptor();
        wait.directions = CSocketWait::kWrite;
    }
    return wait;
}

// ---- datagram server

CConnectedDatagramServerSocket::CConnectedDatagramServerSocket(std::shared_ptr<CSocket> socket, const void* data,
                                                               uint32_t length)
    : CConnectedSocket(std::move(socket)) {
    Traced([&] { input->Write(data, length); }, "CConnectedDatagramServerSocket::CConnectedDatagramServerSocket(0x%08x, %u)",
           LabelAddress(data), length);
}

uint32_t CConnectedDatagramServerSocket::Send(const void* data, uint32_t length) {
    return Traced([&]() -> uint32_t {
        throw CMessageException("Connected datagram server socket can not be used for sending");
    }, "CConnectedDatagramServerSocket::Send(0x%08x, %u)", LabelAddress(data), length);
}

uint32_t CConnectedDatagramServerSocket::Recv(void* buffer, uint32_t length, TTransferMode mode, std::string* line) {
    return Traced([&]() -> uint32_t {
        if (mode != xferEXACT && mode != xferUPTO && mode != xferLINE && mode != xferPIECE)
            throw CMessageException("not reached");
        CheckArguments(buffer, length, mode, line);
        CheckInactivity();
        uint32_t available = input->GetLength();
        if (mode == xferEXACT && available < length)
            throw CMessageException(
                "An attempt to read %u bytes from a connected datagram server socket fails, only %u is available",
                length, available);
        if (mode == xferUPTO && available == 0)
            throw CMessageException(
                "An attempt to read from a connected datagram server socket fails, no data is available");
        uint32_t taken = TakeFromInput(buffer, length, mode, line);
        if (taken == 0)
            throw CMessageException("An attempt to read a line from a connected datagram server socket fails, the "
                                    "remaining %u bytes do not contain a properly terminated line of text",
                                    available);
        return taken;
    }, "CConnectedDatagramServerSocket::Recv(0x%08x, %u, %s, 0x%08x)", LabelAddress(buffer), length, ModeText(mode),
       LabelAddress(line));
}

CSocketWait CConnectedDatagramServerSocket::GetWait() const {
    CSocketWait wait;
    wait.readyNow = input->GetLength() > 0;
    return wait;
}

}  // namespace Ovrin
