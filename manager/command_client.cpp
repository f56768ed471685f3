// SendCommand over a plain POSIX socket; error texts keep their wording and carry errno.
#include "manager/command_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "common/exception.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

std::mutex& CommandLock() {
    static std::mutex lock;
    return lock;
}

constexpr size_t kMaxLine = 2000;
constexpr size_t kReplyBuffer = 65536;

class TSocketHolder {
public:
    TSocketHolder() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~TSocketHolder() {
        if (fd >= 0)
            close(fd);
    }
    TSocketHolder(const TSocketHolder&) = delete;
    TSocketHolder& operator=(const TSocketHolder&) = delete;
    int fd;
};

std::string Exchange(const std::string& command) {
    TSocketHolder socket;
    if (socket.fd < 0)
        throw CMessageException("Unable to create a socket, WSAGetLastError=%d", errno);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kControlPort);
    inet_pton(AF_INET, kControlAddress, &address.sin_addr);
    if (connect(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw CMessageException("Unable to connect to the server, WSAGetLastError=%d", errno);

    const std::string line = command + "\r\n";
    if (line.size() > kMaxLine)
        throw CMessageException("Unable to send command to the server, the line is too long");
    // A peer gone away must fail the send, not raise SIGPIPE in the manager.
    ssize_t sent = send(socket.fd, line.data(), line.size(), MSG_NOSIGNAL);
    if (sent < static_cast<ssize_t>(line.size()))
        throw CMessageException("Unable to send command to the server, WSAGetLastError=%d", errno);
    if (shutdown(socket.fd, SHUT_WR) != 0)
        throw CMessageException("Unable to shutdown the socket, WSAGetLastError=%d", errno);

    std::vector<char> buffer(kReplyBuffer, 0);
    size_t received = 0;
    while (received < 2 || buffer[received - 2] != '\r' || buffer[received - 1] != '\n') {
        errno = 0;
        // At 65535 bytes this asks for nothing and gets 0, which ends the exchange.
        ssize_t got = recv(socket.fd, buffer.data() + received, kReplyBuffer - 1 - received, 0);
        if (got <= 0)
            throw CMessageException("Unable to receive response from the server, WSAGetLastError=%d", errno);
        received += static_cast<size_t>(got);
    }
    return TrimBlanks(std::string_view(buffer.data(), received - 2));
}

}  // namespace

bool SendCommand(const std::string& command, std::string* message) {
    std::lock_guard hold(CommandLock());
    try {
        std::string reply = Exchange(command);
        bool ok = reply.compare(0, 2, "ok") == 0;
        if (message) {
            if (ok)
                *message = TrimBlanks(std::string_view(reply).substr(2));
            else if (reply.compare(0, 3, "err") == 0)
                *message = TrimBlanks(std::string_view(reply).substr(3));
            else
                *message = reply;
        }
        return ok;
    } catch (const std::exception& e) {
        if (message)
            *message = e.what();
        return false;
    }
}

}  // namespace Ovrin
