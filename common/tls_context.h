// CTLSContext: the TLS settings that connections share: a server's certificate and key, or a
// client's trusted roots (the system's, plus an optional file of CA certificates). Made once and
// shared by every connection that uses it.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace Ovrin {

class CTLSContext {
public:
    // Loads the certificate chain (PEM) and its private key; a file that cannot be loaded, or
    // a key that does not belong to the certificate, throws saying which file and why.
    static std::shared_ptr<CTLSContext> CreateServer(const std::string& certificateFile, const std::string& keyFile);
    // Verifies peers against the system's trusted roots and, when caFile is not empty, the CA
    // certificates in it (PEM).
    static std::shared_ptr<CTLSContext> CreateClient(const std::string& caFile);

    ~CTLSContext();
    CTLSContext(const CTLSContext&) = delete;
    CTLSContext& operator=(const CTLSContext&) = delete;

    bool IsServer() const { return server; }
    ssl_ctx_st* GetHandle() const { return handle; }

    // The queued OpenSSL errors as one text (the queue is emptied), or the fallback when none.
    static std::string TakeErrors(const char* fallback);

private:
    CTLSContext(ssl_ctx_st* handle, bool server) : handle(handle), server(server) {}

    ssl_ctx_st* handle;
    bool server;
};

using CTLSContextPtr = std::shared_ptr<CTLSContext>;

}  // namespace Ovrin
