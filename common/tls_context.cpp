// CTLSContext: loading a server's certificate and key, or a client's trusted roots, with OpenSSL.
#include "common/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <utility>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

// Owns a context until it is handed to a CTLSContext.
struct CContextHolder {
    explicit CContextHolder(const SSL_METHOD* method) : handle(SSL_CTX_new(method)) {
        if (handle == nullptr)
            throw CMessageException("SSL_CTX_new() failed: %s", CTLSContext::TakeErrors("no reason given").c_str());
        // Nothing older than TLS 1.2; a peer that wants to renegotiate is refused.
        SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION);
        SSL_CTX_set_options(handle, SSL_OP_NO_RENEGOTIATION);
    }
    ~CContextHolder() { SSL_CTX_free(handle); }
    SSL_CTX* Release() { return std::exchange(handle, nullptr); }

    SSL_CTX* handle;
};

}  // namespace

std::string CTLSContext::TakeErrors(const char* fallback) {
    std::string text;
    while (unsigned long error = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(error);
        const std::string part = reason != nullptr ? reason : "unknown error";
        if (text.find(part) != std::string::npos)
            continue;
        text += (text.empty() ? "" : ", ") + part;
    }
    return text.empty() ? std::string(fallback) : text;
}

std::shared_ptr<CTLSContext> CTLSContext::CreateServer(const std::string& certificateFile, const std::string& keyFile) {
    return Traced([&] {
        ERR_clear_error();
        CContextHolder context(TLS_server_method());
        if (SSL_CTX_use_certificate_chain_file(context.handle, certificateFile.c_str()) != 1)
            throw CMessageException("Unable to load the TLS certificate from '%s': %s", certificateFile.c_str(),
                                    TakeErrors("no certificate found").c_str());
        // Also refuses a key that does not belong to the certificate ("key values mismatch").
        if (SSL_CTX_use_PrivateKey_file(context.handle, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            throw CMessageException("Unable to load the TLS key from '%s': %s", keyFile.c_str(),
                                    TakeErrors("no key found").c_str());
        return std::shared_ptr<CTLSContext>(new CTLSContext(context.Release(), true));
    }, "CTLSContext::CreateServer('%s', '%s')", certificateFile.c_str(), keyFile.c_str());
}

std::shared_ptr<CTLSContext> CTLSContext::CreateClient(const std::string& caFile) {
    return Traced([&] {
        ERR_clear_error();
        CContextHolder context(TLS_client_method());
        SSL_CTX_set_verify(context.handle, SSL_VERIFY_PEER, nullptr);
        // Missing system roots are no error here: verification then fails, saying why.
        SSL_CTX_set_default_verify_paths(context.handle);
        ERR_clear_error();
        if (!caFile.empty() && SSL_CTX_load_verify_locations(context.handle, caFile.c_str(), nullptr) != 1)
            throw CMessageException("Unable to load the CA certificates from '%s': %s", caFile.c_str(),
                                    TakeErrors("no certificate found").c_str());
        return std::shared_ptr<CTLSContext>(new CTLSContext(context.Release(), false));
    }, "CTLSContext::CreateClient('%s')", caFile.c_str());
}

CTLSContext::~CTLSContext() { SSL_CTX_free(handle); }

}  // namespace Ovrin
