// DovecotServer: a real Dovecot POP3 server for tests, started in the foreground on a free
// loopback port with its own configuration, passwd-file users and maildirs under a temporary
// directory, and stopped with the fixture; with a certificate it offers STLS there and speaks
// implicit TLS on a second port. No system instance is touched.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace OvrinTest {

class DovecotServer {
public:
    struct Certificate {
        std::string certificate;  // PEM files
        std::string key;
    };

    // Dovecot's oauth2 password database beside the passwd-file one, asking the introspection
    // address (trusting the CA file) whether a bearer token is good and whose it is.
    struct OAuth2 {
        std::string introspectionUrl;
        std::string caFile;
        std::string mechanisms = "plain xoauth2 oauthbearer";
    };

    // Each user is (name, password). Starts Dovecot and waits until it accepts connections.
    explicit DovecotServer(const std::vector<std::pair<std::string, std::string>>& users,
                           const std::optional<Certificate>& tls = std::nullopt,
                           const std::optional<OAuth2>& oauth2 = std::nullopt);
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    uint16_t Port() const { return port; }
    // The port of implicit TLS; 0 without a certificate.
    uint16_t TLSPort() const { return tlsPort; }
    // Delivers a message into the user's maildir (CR LF line ends, stored as given).
    void Deliver(const std::string& user, const std::string& text);
    // The messages still in the user's maildir, in delivery order.
    std::vector<std::string> Messages(const std::string& user) const;
    size_t Count(const std::string& user) const;
    std::string Log() const;

private:
    std::string Maildir(const std::string& user) const;

    TempDir dir;
    uint16_t port = 0;
    uint16_t tlsPort = 0;
    pid_t pid = -1;
    unsigned uid = 0;
    unsigned gid = 0;
    unsigned delivered = 0;
};

// Something accepts connections on the port of 127.0.0.1.
bool AcceptsOnLoopback(uint16_t port);

}  // namespace OvrinTest
