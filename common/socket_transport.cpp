// The plain socket as a stream transport.
#include "common/socket_transport.h"

#include "common/socket.h"

namespace Ovrin {

CSocketTransport::CSocketTransport(std::shared_ptr<CSocket> socket) : socket(std::move(socket)) {}

uint32_t CSocketTransport::Read(void* buffer, uint32_t length) { return socket->Recv(buffer, length); }

uint32_t CSocketTransport::Write(const void* data, uint32_t length) { return socket->Send(data, length); }

int CSocketTransport::GetDescriptor() const { return socket->GetDescriptor(); }

}  // namespace Ovrin
