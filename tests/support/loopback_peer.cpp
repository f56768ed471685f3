// The listener and accept loop the tests' loopback peers share.
#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace OvrinTest {

LoopbackPeer::LoopbackPeer(std::function<void(int client)> serve) : serve(std::move(serve)) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("a loopback peer cannot listen");
    port = ntohs(address.sin_port);
    thread = std::thread([this] {
        while (!stopping) {
            pollfd wait{listener, POLLIN, 0};
            if (::poll(&wait, 1, kPollMilliseconds) <= 0)
                continue;
            int client = ::accept(listener, nullptr, nullptr);
            if (client < 0)
                continue;
            this->serve(client);
            ::close(client);
        }
    });
}

LoopbackPeer::~LoopbackPeer() {
    stopping = true;
    thread.join();
    ::close(listener);
}

bool LoopbackPeer::SendAll(int fd, const char* bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace OvrinTest
