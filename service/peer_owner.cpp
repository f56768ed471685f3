// One exact-match inet_diag request for the peer's socket: its source is our peer address and
// its destination our own address, so the answer describes the client's socket, not ours.
#include "service/peer_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Ovrin {

namespace {

class CNetlinkSocket {
public:
    CNetlinkSocket() : fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
    ~CNetlinkSocket() {
        if (fd >= 0)
            ::close(fd);
    }
    CNetlinkSocket(const CNetlinkSocket&) = delete;
    CNetlinkSocket& operator=(const CNetlinkSocket&) = delete;
    int fd;
};

// Copies a socket address's IP and port into a diag socket id end.
bool Fill(const sockaddr_storage& address, __be16& port, __be32* ip) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        port = in.sin_port;
        std::memcpy(ip, &in.sin_addr, sizeof in.sin_addr);
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        port = in6.sin6_port;
        std::memcpy(ip, &in6.sin6_addr, sizeof in6.sin6_addr);
        return true;
    }
    return false;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    __be16 port = 0;
    __be32 ip[4] = {};
    if (Fill(address, port, ip))
        ::inet_ntop(address.ss_family, ip, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(port));
}

std::optional<uid_t> Owner(const sockaddr_storage& local, const sockaddr_storage& peer) {

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<__u8>(peer.ss_family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    inet_diag_sockid& id = message.request.id;
    if (!Fill(peer, id.idiag_sport, id.idiag_src) || !Fill(local, id.idiag_dport, id.idiag_dst))
        return std::nullopt;
    id.idiag_if = 0;
    id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    CNetlinkSocket netlink;
    if (netlink.fd < 0)
        return std::nullopt;
    timeval limit{1, 0};  // the kernel answers at once; never wait on it for long
    ::setsockopt(netlink.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink.fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof message))
        return std::nullopt;

    alignas(nlmsghdr) char answer[8192];
    ssize_t length;
    do
        length = ::recv(netlink.fd, answer, sizeof answer, 0);
    while (length < 0 && errno == EINTR);
    if (length <= 0)
        return std::nullopt;
    auto* header = reinterpret_cast<nlmsghdr*>(answer);
    for (int left = static_cast<int>(length); NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;  // NLMSG_ERROR: no such socket
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        return static_cast<uid_t>(found->idiag_uid);
    }
    return std::nullopt;
}

}  // namespace

CPeerSocket PeerSocketOf(int connectedSocket) {
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::getsockname(connectedSocket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        ::getpeername(connectedSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
        return {"?", std::nullopt};
    return {AddressText(peer), local.ss_family == peer.ss_family ? Owner(local, peer) : std::nullopt};
}

}  // namespace Ovrin
