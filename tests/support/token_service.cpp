// TokenService: python3 with the token service script, started and stopped like Dovecot.
#include "tests/support/token_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/dovecot_server.h"
#include "tests/support/wait.h"

namespace OvrinTest {

namespace {

bool Answers(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TokenService::TokenService(const TestCA::Issued& certificate, const nlohmann::json& state) {
    port = FreeLoopbackPort();
    SetState(state);
    const std::string script = std::string(OVRIN_SOURCE_DIR) + "/tests/support/token_service.py";
    const std::string statePath = dir / "state.json";
    const std::string portText = std::to_string(port);
    pid = ::fork();
    if (pid == 0) {
        ::execlp("python3", "python3", script.c_str(), portText.c_str(), certificate.certificate.c_str(),
                 certificate.key.c_str(), statePath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0 || !WaitUntil([&] { return Answers(port); }))
        throw std::runtime_error("the token service did not start");
}

TokenService::~TokenService() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    }
}

std::string TokenService::Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port) + path;
}

nlohmann::json TokenService::State() const { return nlohmann::json::parse(ReadWholeFile(dir / "state.json")); }

void TokenService::SetState(const nlohmann::json& state) {
    WriteWholeFile(dir / "state.json.new", state.dump());
    std::rename((dir / "state.json.new").c_str(), (dir / "state.json").c_str());
}

}  // namespace OvrinTest
