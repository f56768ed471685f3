// CAuthentication and its two handlers: plaintext and salted SHA-1.
#include "server/pop3/authentication.h"

#include "common/digest.h"
#include "common/exception.h"
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
        if (method != "sha1")
            throw CMessageException("Unknown hash method: '%s', only sha1 is supported", method.c_str());
        std::string stored = ReadElementText(element, "@hash");
        if (!Matches(stored, HashPattern()))
            throw CMessageException("Invalid hash value: '%s', must be a string of 40 hex chars", stored.c_str());
        hash = ToLower(stored);
        salt = ReadElementText(element, "@salt");
    }, "CHashAuthentication::CHashAuthentication(0x%08x)", LabelAddress(element));
}

bool CHashAuthentication::Authenticate(const std::string&, const std::string& password) const {
    return ToLower(HexDigest(salt + password + salt)) == hash;
}

}  // namespace Ovrin
