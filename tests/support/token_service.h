// TokenService: the test OAuth token service (token_service.py) over HTTPS on a free loopback
// port, with its state in a JSON file the test reads and changes between requests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace OvrinTest {

class TokenService {
public:
    // Starts the service with the certificate and the initial state; waits until it accepts.
    TokenService(const TestCA::Issued& certificate, const nlohmann::json& state);
    ~TokenService();
    TokenService(const TokenService&) = delete;
    TokenService& operator=(const TokenService&) = delete;

    // "https://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path) const;
    nlohmann::json State() const;
    void SetState(const nlohmann::json& state);

private:
    TempDir dir;
    uint16_t port = 0;
    pid_t pid = -1;
};

}  // namespace OvrinTest
