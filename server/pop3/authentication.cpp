// CAuthentication and its two handlers: plaintext, and a hash (salted SHA-1 or crypt).
#include "server/pop3/authentication.h"

#include "common/digest.h"
#include "common/exception.h"
#include "common/password_hash.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "store/ruleset_element.h"

namespace Ovrin {

CAuthenticationPtr CAuthentication::Create(xmlNodePtr element) {
    return Traced([&]() -> CAuthenticationPtr {
        std::string handler = ReadElementText(element, "@handler");
        if (handler == "plaintext")
            return std::make_shared<CPlaintextAuthentication>(element);
        if (handler == "hash")
            return std::make_shared<CHashAuthentication>(element);
        throw CMessageException("Invalid or unknown authentication handler: '%s'", handler.c_str());
    }, "CAuthentication::Create(0x%08x)", LabelAddress(element));
}

CPlaintextAuthentication::CPlaintextAuthentication(xmlNodePtr element) {
    Traced([&] { password = ReadElementText(element, "@password"); },
           "CPlaintextAuthentication::CPlaintextAuthentication(0x%08x)", LabelAddress(element));
}

bool CPlaintextAuthentication::Authenticate(const std::string&, const std::string& offered) const {
    return offered == password;
}

CHashAuthentication::CHashAuthentication(xmlNodePtr element) {
    Traced([&] {
        method = ReadElementText(element, "@method");
        std::string stored = ReadElementText(element, "@hash");
        if (method == "crypt") {
            if (!IsAcceptedCryptHash(stored))
                throw CMessageException("Invalid hash value: '%s', must be a crypt string of yescrypt ($y$) or "
                                        "SHA512-CRYPT ($6$)",
                                        stored.c_str());
            hash = stored;
            return;
        }
        if (method != "sha1")
            throw CMessageException("Unknown hash method: '%s', only sha1 and crypt are supported", method.c_str());
        if (!Matches(stored, HashPattern()))
            throw CMessageException("Invalid hash value: '%s', must be a string of 40 hex chars", stored.c_str());
        hash = ToLower(stored);
        salt = ReadElementText(element, "@salt");
    }, "CHashAuthentication::CHashAuthentication(0x%08x)", LabelAddress(element));
}

bool CHashAuthentication::Authenticate(const std::string&, const std::string& password) const {
    if (method == "crypt")
        return CheckCryptHash(password, hash);
    return ToLower(HexDigest(salt + password + salt)) == hash;
}

}  // namespace Ovrin
