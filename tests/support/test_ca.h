// TestCA: a throw-away certificate authority made with the openssl tool in a temporary
// directory, issuing server certificates for the TLS tests: right, for another name, expired.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace OvrinTest {

class TestCA {
public:
    struct Issued {
        std::string certificate;  // PEM file
        std::string key;          // PEM file, unencrypted
    };

    // Makes the CA's key and self-signed certificate; throws when openssl fails.
    TestCA();

    // The CA certificate, for a client's tls-ca-file.
    std::string CertificateFile() const { return dir / "ca.pem"; }
    // A server certificate for the subject alternative names ("DNS:localhost,IP:127.0.0.1"),
    // valid from now for the days; -1 gives one that has expired already.
    Issued Issue(const std::string& altNames, int days = 2);

private:
    TempDir dir;
    int issued = 0;
};

}  // namespace OvrinTest
