#include "tests/manager/control_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "manager/command_client.h"

namespace OvrinTest {

namespace {

bool Readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

int ListenOnControlPort() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Ovrin::kControlPort);
    inet_pton(AF_INET, Ovrin::kControlAddress, &address.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
        int error = errno;
        close(listener);
        throw std::runtime_error("the control port 39219 is taken, errno=" + std::to_string(error));
    }
    return listener;
}

}  // namespace

TControlPeer::TControlPeer(TScript script, bool holdOpen) : script(std::move(script)), holdOpen(holdOpen) {
    listener = ListenOnControlPort();
    thread = std::thread([this] { Serve(); });
}

TSilentControlPeer::TSilentControlPeer() : listener(ListenOnControlPort()) {}
TSilentControlPeer::~TSilentControlPeer() { close(listener); }

TControlPeer::~TControlPeer() {
    stopping = true;
    thread.join();
    close(listener);
}

std::vector<std::string> TControlPeer::Commands() const {
    std::lock_guard hold(lock);
    return commands;
}

std::vector<std::string> TControlPeer::Commands(size_t atLeast) const {
    for (int waited = 0; waited < 5000; waited += 10) {
        if (Commands().size() >= atLeast)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Commands();
}

void TControlPeer::Serve() {
    while (!stopping) {
        if (!Readable(listener, 20))
            continue;
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        Answer(connection);
        close(connection);
    }
}

void TControlPeer::Answer(int connection) {
    std::string received;
    char buffer[4096];
    // The client shuts its sending side down after the line.
    while (Readable(connection, 2000)) {
        ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<size_t>(got));
    }
    if (received.size() >= 2 && received.compare(received.size() - 2, 2, "\r\n") == 0)
        received.resize(received.size() - 2);
    {
        std::lock_guard hold(lock);
        commands.push_back(received);
    }
    std::string reply = script(received);
    for (size_t sent = 0; sent < reply.size();) {
        ssize_t n = send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
    if (holdOpen)
        while (Readable(connection, 5000) && recv(connection, buffer, sizeof buffer, 0) > 0) {
        }
}

TControlPeer::TScript RunningServer(std::vector<std::pair<std::string, std::string>> config) {
    return [config](const std::string& command) -> std::string {
        if (command == "noop")
            return "ok\r\n";
        for (const auto& [name, value] : config)
            if (command == "get config " + name)
                return "ok " + value + "\r\n";
        return "err unknown command\r\n";
    };
}

}  // namespace OvrinTest
