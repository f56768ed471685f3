// The relay that cuts one connection in the middle, for tests of a dropped line.
#include "tests/support/cutting_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace OvrinTest {

namespace {

constexpr int kPollMilliseconds = LoopbackPeer::kPollMilliseconds;

}  // namespace

CuttingRelay::CuttingRelay(uint16_t target, std::string command, size_t bytesAfter)
    : target(target), command("\n" + std::move(command)), bytesAfter(bytesAfter),
      peer(std::make_unique<LoopbackPeer>([this](int client) { Relay(client); })) {}

CuttingRelay::~CuttingRelay() { peer.reset(); }

void CuttingRelay::Relay(int client) {
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(target);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (server >= 0)
            ::close(server);
        return;
    }
    const bool cutting = !cut;
    std::string sent = "\n";  // what the client said, for finding the command at a line's start
    bool triggered = false;
    size_t passed = 0;
    for (int idle = 0; !peer->Stopping() && idle < LoopbackPeer::kIdleLimitMilliseconds;) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, kPollMilliseconds) <= 0) {
            idle += kPollMilliseconds;
            continue;
        }
        idle = 0;
        char chunk[4096];
        if (ends[0].revents != 0) {
            ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0 || !LoopbackPeer::SendAll(server, chunk, static_cast<size_t>(n)))
                break;
            if (cutting && !triggered) {
                sent.append(chunk, static_cast<size_t>(n));
                triggered = sent.find(command) != std::string::npos;
            }
        }
        if (ends[1].revents != 0) {
            ssize_t n = ::recv(server, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            size_t pass = static_cast<size_t>(n);
            if (triggered && passed + pass >= bytesAfter) {
                LoopbackPeer::SendAll(client, chunk, bytesAfter - passed);
                cut = true;
                break;
            }
            if (triggered)
                passed += pass;
            if (!LoopbackPeer::SendAll(client, chunk, pass))
                break;
        }
    }
    ::close(server);
}

}  // namespace OvrinTest
