// The TLS transport: an OpenSSL connection whose BIO is the CSocket itself, so that encrypted
// bytes take the socket layer's one way (MSG_NOSIGNAL, its errors and texts), and whose calls
// note which direction a blocked step waits for.
#include "common/tls_transport.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <exception>
#include <utility>

#include "common/socket_wait.h"
#include "common/trace.h"

namespace Ovrin {

CTLSTransport::CHandshakeException::CHandshakeException(const std::string& text)
    : CMessageException("%s", text.c_str()) {}

class CTLSTransport::CImpl {
public:
    CImpl(std::shared_ptr<CSocket> socket, CTLSContextPtr context, const std::string& peerName);
    ~CImpl();

    bool Handshake();
    // One OpenSSL call: its positive result, or 0 when it has to wait (noting the direction in
    // wants); anything else throws.
    template <class Call>
    int Step(const char* name, unsigned& wants, unsigned natural, Call call);

    std::shared_ptr<CSocket> socket;
    CTLSContextPtr context;
    SSL* ssl = nullptr;
    // What the socket threw inside OpenSSL, passed on once the OpenSSL call has returned.
    std::exception_ptr failure;
    bool established = false;
    // A fatal error was met: OpenSSL forbids a closing alert after one.
    bool broken = false;
    unsigned readWants = CSocketWait::kRead;
    unsigned writeWants = CSocketWait::kWrite;

    static BIO_METHOD* SocketMethod();

private:
    static int BioWrite(BIO* bio, const char* data, int length);
    static int BioRead(BIO* bio, char* buffer, int length);
    static long BioControl(BIO* bio, int command, long number, void* pointer);
    static int BioCreate(BIO* bio);
};

BIO_METHOD* CTLSTransport::CImpl::SocketMethod() {
    static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> method(
        [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ovrin socket");
            if (made != nullptr) {
                BIO_meth_set_write(made, BioWrite);
                BIO_meth_set_read(made, BioRead);
                BIO_meth_set_ctrl(made, BioControl);
                BIO_meth_set_create(made, BioCreate);
            }
            return made;
        }(),
        BIO_meth_free);
    if (!method)
        throw CMessageException("BIO_meth_new() failed: %s", CTLSContext::TakeErrors("no reason given").c_str());
    return method.get();
}

int CTLSTransport::CImpl::BioWrite(BIO* bio, const char* data, int length) {
    auto* self = static_cast<CImpl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    try {
        const uint32_t sent = self->socket->Send(data, static_cast<uint32_t>(length));
        if (sent > 0)
            return static_cast<int>(sent);
        BIO_set_retry_write(bio);
    } catch (...) {
        self->failure = std::current_exception();
    }
    return -1;
}

int CTLSTransport::CImpl::BioRead(BIO* bio, char* buffer, int length) {
    auto* self = static_cast<CImpl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    try {
        const uint32_t got = self->socket->Recv(buffer, static_cast<uint32_t>(length));
        if (got > 0)
            return static_cast<int>(got);
        BIO_set_retry_read(bio);
    } catch (...) {
        self->failure = std::current_exception();
    }
    return -1;
}

long CTLSTransport::CImpl::BioControl(BIO*, int command, long, void*) {
    // The socket keeps nothing back, so a flush is always done; nothing else is supported.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int CTLSTransport::CImpl::BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

CTLSTransport::CImpl::CImpl(std::shared_ptr<CSocket> socket, CTLSContextPtr context, const std::string& peerName)
    : socket(std::move(socket)), context(std::move(context)) {
    // OpenSSL sends a write record by record: held back by Nagle, the last record of a reply
    // would wait for the peer's delayed acknowledgement.
    this->socket->SetNoDelay();
    ERR_clear_error();
    ssl = SSL_new(this->context->GetHandle());
    BIO* bio = ssl != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        throw CMessageException("SSL_new() failed: %s", CTLSContext::TakeErrors("no reason given").c_str());
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl, bio, bio);
    // The connection's output buffer is handed over again, moved and grown, after a blocked write.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole records per system call; a read step that waits has drained every complete one.
    SSL_set_read_ahead(ssl, 1);
    if (this->context->IsServer()) {
        SSL_set_accept_state(ssl);
        return;
    }
    // An empty name would switch the name check off.
    if (peerName.empty()) {
        SSL_free(ssl);
        throw CMessageException("A TLS client needs the name of its peer");
    }
    in_addr dotted{};
    const bool address = inet_pton(AF_INET, peerName.c_str(), &dotted) == 1;
    const int named = address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), peerName.c_str())
                              : SSL_set_tlsext_host_name(ssl, peerName.c_str()) && SSL_set1_host(ssl, peerName.c_str());
    if (named != 1) {
        SSL_free(ssl);
        throw CMessageException("Unable to check TLS certificates for '%s': %s", peerName.c_str(),
                                CTLSContext::TakeErrors("no reason given").c_str());
    }
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set_connect_state(ssl);
}

CTLSTransport::CImpl::~CImpl() {
    // An orderly end tells the peer that nothing was cut off; a broken connection gets none.
    if (established && !broken)
        SSL_shutdown(ssl);
    ERR_clear_error();
    SSL_free(ssl);
}

template <class Call>
int CTLSTransport::CImpl::Step(const char* name, unsigned& wants, unsigned natural, Call call) {
    ERR_clear_error();
    const int result = call();
    if (result > 0) {
        wants = natural;
        return result;
    }
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
        wants = CSocketWait::kRead;
        return 0;
    case SSL_ERROR_WANT_WRITE:
        wants = CSocketWait::kWrite;
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        broken = true;
        throw CMessageException("%s returned closed connection", name);
    default:
        broken = true;
        if (failure)
            std::rethrow_exception(failure);
        throw CMessageException("%s failed: %s", name, CTLSContext::TakeErrors("connection lost").c_str());
    }
}

bool CTLSTransport::CImpl::Handshake() {
    if (established)
        return true;
    unsigned wants = CSocketWait::kRead;
    try {
        if (Step("the TLS handshake", wants, CSocketWait::kRead, [&] { return SSL_do_handshake(ssl); }) == 0) {
            readWants = writeWants = wants;
            return false;
        }
    } catch (const CMessageException& e) {
        if (failure)
            throw;  // the socket's own failure, as on a plain connection
        const long verified = SSL_get_verify_result(ssl);
        if (!context->IsServer() && verified != X509_V_OK)
            throw CHandshakeException(std::string("the certificate was refused: ") +
                                      X509_verify_cert_error_string(verified));
        throw CHandshakeException(e.what());
    }
    established = true;
    readWants = CSocketWait::kRead;
    writeWants = CSocketWait::kWrite;
    return true;
}

CTLSTransport::CTLSTransport(std::shared_ptr<CSocket> socket, CTLSContextPtr context, const std::string& peerName) {
    Traced([&] { impl = std::make_unique<CImpl>(std::move(socket), std::move(context), peerName); },
           "CTLSTransport::CTLSTransport('%s')", peerName.c_str());
}

CTLSTransport::~CTLSTransport() = default;

bool CTLSTransport::Handshake() { return impl->Handshake(); }

uint32_t CTLSTransport::Read(void* buffer, uint32_t length) {
    return Traced([&]() -> uint32_t {
        if (!impl->Handshake())
            return 0;
        return static_cast<uint32_t>(impl->Step("SSL_read()", impl->readWants, CSocketWait::kRead, [&] {
            return SSL_read(impl->ssl, buffer, static_cast<int>(length));
        }));
    }, "CTLSTransport::Read(0x%08x, %u)", LabelAddress(buffer), length);
}

uint32_t CTLSTransport::Write(const void* data, uint32_t length) {
    return Traced([&]() -> uint32_t {
        if (!impl->Handshake())
            return 0;
        return static_cast<uint32_t>(impl->Step("SSL_write()", impl->writeWants, CSocketWait::kWrite, [&] {
            return SSL_write(impl->ssl, data, static_cast<int>(length));
        }));
    }, "CTLSTransport::Write(0x%08x, %u)", LabelAddress(data), length);
}

uint32_t CTLSTransport::Pending() const {
    // Decrypted bytes only: a partial record in the read-ahead buffer needs the socket.
    const int pending = SSL_pending(impl->ssl);
    return pending > 0 ? static_cast<uint32_t>(pending) : 0;
}

int CTLSTransport::GetDescriptor() const { return impl->socket->GetDescriptor(); }

unsigned CTLSTransport::GetWaitDirection(bool writing) const { return writing ? impl->writeWants : impl->readWants; }

}  // namespace Ovrin
