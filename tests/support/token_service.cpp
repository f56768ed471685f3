// TokenService: python3 with the token service script, started and stopped like Dovecot.
#include "tests/support/token_service.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/dovecot_server.h"
#include "tests/support/server_home.h"
#include "tests/support/wait.h"

namespace OvrinTest {

TokenService::TokenService(const TestCA::Issued& certificate, const nlohmann::json& state) {
    port = static_cast<uint16_t>(FreePort());
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
    if (pid < 0 || !WaitUntil([&] { return AcceptsOnLoopback(port); }))
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
