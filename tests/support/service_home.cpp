#include "tests/support/service_home.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace OvrinTest {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStartedNote = "CService: started 'ovrin' in ";

int ConnectToControlPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval limit{20, 0};  // a hung service fails the test instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kControlPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ServiceHome::ServiceHome() {
    for (const char* program : {"ovrin", "ovrin-service"})
        fs::copy_file(std::string(OVRIN_BINARY_DIR) + "/" + program, server.Path() + "/" + program);
    server.SetParam("mail-directory", "mail");  // relative, as in an installed Ovrin
}

ServiceHome::~ServiceHome() {
    if (service && !service->WaitForExit(std::chrono::milliseconds(0)))
        Stop();
}

std::string ServiceHome::ServerLog() const {
    const std::string path = server.Path() + "/ovrin.log";
    return fs::exists(path) ? ReadWholeFile(path) : std::string();
}

OvrinProcess& ServiceHome::Start() {
    server.WriteConfig();
    // A path from elsewhere: the service must find its directory itself.
    service = std::make_unique<OvrinProcess>(std::vector<std::string>{}, "/", ServicePath());
    WaitUntil([&] { return ServerLog().find("main(): Ovrin Mail Filter") != std::string::npos; }, kProcessTimeout);
    return *service;
}

std::optional<int> ServiceHome::Stop() {
    service->Signal(SIGTERM);
    return service->WaitForExit();
}

pid_t ServiceHome::ServerPid() {
    std::vector<std::string> notes = service->LogLinesWith(kStartedNote);
    if (notes.empty())
        return -1;
    const std::string& last = notes.back();
    size_t at = last.rfind("(process ");
    return at == std::string::npos ? -1 : std::stoi(last.substr(at + 9));
}

size_t ServiceHome::ServerStarts() { return service->LogLinesWith(kStartedNote).size(); }

std::optional<std::string> ControlExchange(const std::string& bytes, bool closeAfterSending) {
    int fd = ConnectToControlPort();
    if (fd < 0)
        return std::nullopt;
    if (!bytes.empty())
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (closeAfterSending)
        ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

int ControlConnect() { return ConnectToControlPort(); }

bool ControlConnectAndClose() {
    int fd = ConnectToControlPort();
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool WaitForControlPort(std::chrono::milliseconds limit) {
    return WaitUntil([] { return ControlExchange("noop\r\n") == std::optional<std::string>("ok\r\n"); }, limit);
}

}  // namespace OvrinTest
