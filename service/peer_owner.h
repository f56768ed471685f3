// Who owns the other end of a loopback TCP connection: the kernel knows the owner of every local
// socket and tells it through the sock_diag netlink interface (what `ss -e` shows as uid).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Ovrin {

struct CPeerSocket {
    std::string address;         // "address:port", for log lines
    std::optional<uid_t> owner;  // nullopt when the kernel does not know it (a remote peer, a closed connection)
};

// The peer's socket of this connected TCP socket.
CPeerSocket PeerSocketOf(int connectedSocket);

}  // namespace Ovrin
