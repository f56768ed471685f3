// Reading the POP3 security settings: an account's security, where plaintext logins are
// accepted, and the TLS contexts.
#include "server/pop3/pop3_security.h"

#include "common/exception.h"
#include "common/trace.h"
#include "server/core/config.h"

namespace Ovrin {

namespace {

constexpr uint16_t kImplicitTLSPort = 995;

}  // namespace

TPOP3Security ParsePOP3Security(const std::string& text, const CInternetPort& port) {
    if (text == "none")
        return TPOP3Security::None;
    if (text == "tls")
        return TPOP3Security::TLS;
    if (text == "starttls")
        return TPOP3Security::StartTLS;
    if (text.empty())
        return port.GetNumber() == kImplicitTLSPort ? TPOP3Security::TLS : TPOP3Security::None;
    throw CMessageException("Invalid security '%s' for a POP3 account, must be none, tls or starttls", text.c_str());
}

const char* POP3SecurityText(TPOP3Security security) {
    return security == TPOP3Security::TLS ? "tls" : security == TPOP3Security::StartTLS ? "starttls" : "none";
}

TPlaintextAuth POP3PlaintextAuth() {
    return Traced([] {
        const std::string value = Config().GetValueOr("pop3-plaintext-auth", "");
        if (value.empty() || value == "always")
            return TPlaintextAuth::Always;
        if (value == "tls-or-loopback")
            return TPlaintextAuth::TLSOrLoopback;
        if (value == "tls-only")
            return TPlaintextAuth::TLSOnly;
        throw CMessageException("The configuration parameter pop3-plaintext-auth is '%s', it must be always, "
                                "tls-or-loopback or tls-only",
                                value.c_str());
    }, "POP3PlaintextAuth()");
}

bool AcceptsPlaintextAuth(TPlaintextAuth policy, bool secure, const CInternetAddress& peer) {
    if (secure || policy == TPlaintextAuth::Always)
        return true;
    return policy == TPlaintextAuth::TLSOrLoopback && (peer.GetHostOrderAddress() >> 24) == 127;
}

CTLSContextPtr POP3ClientTLSContext() {
    static const CTLSContextPtr instance = CTLSContext::CreateClient(Config().GetValueOr("tls-ca-file", ""));
    return instance;
}

CTLSContextPtr MakePOP3ServerTLSContext() {
    return Traced([]() -> CTLSContextPtr {
        const std::string certificate = Config().GetValueOr("tls-certificate-file", "");
        const std::string key = Config().GetValueOr("tls-key-file", "");
        if (certificate.empty() && key.empty())
            return nullptr;
        return CTLSContext::CreateServer(certificate, key);
    }, "MakePOP3ServerTLSContext()");
}

}  // namespace Ovrin
