// The relay that cuts one connection in the middle, for tests of a dropped line.
#include "tests/support/cutting_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace OvrinTest {

namespace {

constexpr int kPollMilliseconds = 100;
constexpr int kIdleLimitMilliseconds = 30000;

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool SendAll(int fd, const char* bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

CuttingRelay::CuttingRelay(uint16_t target, std::string command, size_t bytesAfter)
    : target(target), command("\n" + std::move(command)), bytesAfter(bytesAfter) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("the relay cannot listen");
    port = ntohs(address.sin_port);
    thread = std::thread([this] { Serve(); });
}

CuttingRelay::~CuttingRelay() {
    stopping = true;
    thread.join();
    ::close(listener);
}

void CuttingRelay::Serve() {
    while (!stopping) {
        pollfd wait{listener, POLLIN, 0};
        if (::poll(&wait, 1, kPollMilliseconds) <= 0)
            continue;
        int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        Relay(client);
        ::close(client);
    }
}

void CuttingRelay::Relay(int client) {
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(target);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (server >= 0)
            ::close(server);
        return;
    }
    const bool cutting = !cut;
    std::string sent = "\n";  // what the client said, for finding the command at a line's start
    bool triggered = false;
    size_t passed = 0;
    for (int idle = 0; !stopping && idle < kIdleLimitMilliseconds;) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, kPollMilliseconds) <= 0) {
            idle += kPollMilliseconds;
            continue;
        }
        idle = 0;
        char chunk[4096];
        if (ends[0].revents != 0) {
            ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0 || !SendAll(server, chunk, static_cast<size_t>(n)))
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
                SendAll(client, chunk, bytesAfter - passed);
                cut = true;
                break;
            }
            if (triggered)
                passed += pass;
            if (!SendAll(client, chunk, pass))
                break;
        }
    }
    ::close(server);
}

}  // namespace OvrinTest
