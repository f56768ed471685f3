// SendCommand over a plain POSIX socket; error texts keep their wording and carry errno.
#include "manager/command_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <atomic>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include "common/exception.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

std::timed_mutex& CommandLock() {
    static std::timed_mutex lock;
    return lock;
}

std::atomic<int> timeoutMs{kDefaultCommandTimeoutMs};
std::atomic<int> waitingOnGuiThread{0};

using TClock = std::chrono::steady_clock;

constexpr size_t kMaxLine = 2000;
constexpr size_t kReplyBuffer = 65536;

class TSocketHolder {
public:
    TSocketHolder() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
    ~TSocketHolder() {
        if (fd >= 0)
            close(fd);
    }
    TSocketHolder(const TSocketHolder&) = delete;
    TSocketHolder& operator=(const TSocketHolder&) = delete;
    int fd;
};

// Waits until the socket is ready for the events or the deadline has passed.
void AwaitReady(int fd, short events, TClock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        if (left <= 0)
            throw CMessageException("%s", kNoAnswer);
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            return;  // the call that follows reports the error
    }
}

std::string Exchange(const std::string& command, TClock::time_point deadline) {
    TSocketHolder socket;
    if (socket.fd < 0)
        throw CMessageException("Unable to create a socket, WSAGetLastError=%d", errno);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kControlPort);
    inet_pton(AF_INET, kControlAddress, &address.sin_addr);
    // Non-blocking, so that a service whose backlog is full cannot hold the connect either.
    if (connect(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS)
            throw CMessageException("Unable to connect to the server, WSAGetLastError=%d", errno);
        AwaitReady(socket.fd, POLLOUT, deadline);
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            throw CMessageException("Unable to connect to the server, WSAGetLastError=%d", error ? error : errno);
    }

    const std::string line = command + "\r\n";
    if (line.size() > kMaxLine)
        throw CMessageException("Unable to send command to the server, the line is too long");
    // A peer gone away must fail the send, not raise SIGPIPE in the manager.
    AwaitReady(socket.fd, POLLOUT, deadline);
    ssize_t sent = send(socket.fd, line.data(), line.size(), MSG_NOSIGNAL);
    if (sent < static_cast<ssize_t>(line.size()))
        throw CMessageException("Unable to send command to the server, WSAGetLastError=%d", errno);
    if (shutdown(socket.fd, SHUT_WR) != 0)
        throw CMessageException("Unable to shutdown the socket, WSAGetLastError=%d", errno);

    std::vector<char> buffer(kReplyBuffer, 0);
    size_t received = 0;
    while (received < 2 || buffer[received - 2] != '\r' || buffer[received - 1] != '\n') {
        // A full buffer without a line end ends the exchange as a receive of nothing would; asked
        // of the non-blocking socket, that receive could also say "try again".
        if (received == kReplyBuffer - 1)
            throw CMessageException("Unable to receive response from the server, WSAGetLastError=%d", 0);
        AwaitReady(socket.fd, POLLIN, deadline);
        errno = 0;
        ssize_t got = recv(socket.fd, buffer.data() + received, kReplyBuffer - 1 - received, 0);
        if (got <= 0)
            throw CMessageException("Unable to receive response from the server, WSAGetLastError=%d", errno);
        received += static_cast<size_t>(got);
    }
    return TrimBlanks(std::string_view(buffer.data(), received - 2));
}

bool SendDirectly(const std::string& command, std::string* message) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs.load());
    // The time limit covers the wait for another thread's exchange too.
    std::unique_lock hold(CommandLock(), deadline);
    if (!hold.owns_lock()) {
        if (message)
            *message = kNoAnswer;
        return false;
    }
    try {
        std::string reply = Exchange(command, deadline);
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

bool OnGuiThread() {
    QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

}  // namespace

bool SendCommand(const std::string& command, std::string* message) {
    if (!OnGuiThread())
        return SendDirectly(command, message);
    std::string reply;
    bool ok = false;
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread exchange([&] {
        ok = SendDirectly(command, &reply);
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    ++waitingOnGuiThread;
    // A nested wait may take this loop's quit; the flag says when the exchange really ended.
    while (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    exchange.join();
    --waitingOnGuiThread;
    if (message)
        *message = reply;
    return ok;
}

void SetCommandTimeout(int milliseconds) { timeoutMs = milliseconds; }
int CommandsWaitingOnGuiThread() { return waitingOnGuiThread; }

}  // namespace Ovrin
