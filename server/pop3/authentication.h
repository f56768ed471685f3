// CAuthentication: how a user proves identity to the server's POP3 service, made from the
// /user/pop3-server/authentication element of user.xml: a plaintext password, or a hash:
// method "crypt" (a crypt(3) string, what the manager writes) or "sha1" (salted SHA-1, older files).
#pragma once

#include <memory>
#include <string>

#include "common/xml_document.h"

namespace Ovrin {

class CAuthentication;
using CAuthenticationPtr = std::shared_ptr<CAuthentication>;

class CAuthentication {
public:
    virtual ~CAuthentication() = default;
    // The user name is not used by either handler.
    virtual bool Authenticate(const std::string& userName, const std::string& password) const = 0;

    // By the element's `handler`: "plaintext" or "hash"; anything else (a missing element or
    // attribute included) throws "Invalid or unknown authentication handler: '%s'".
    static CAuthenticationPtr Create(xmlNodePtr element);
};

class CPlaintextAuthentication : public CAuthentication {
public:
    explicit CPlaintextAuthentication(xmlNodePtr element);
    // Exact, case-sensitive comparison.
    bool Authenticate(const std::string& userName, const std::string& password) const override;

private:
    std::string password;
};

class CHashAuthentication : public CAuthentication {
public:
    // Throws "Unknown hash method: '%s', only sha1 and crypt are supported" and "Invalid hash
    // value: ..." for a sha1 hash that is not 40 hex digits or a crypt hash of another method.
    explicit CHashAuthentication(xmlNodePtr element);
    // crypt: the password gives the stored crypt string; sha1: SHA-1 of salt + password + salt
    // equals the stored hash, in either case.
    bool Authenticate(const std::string& userName, const std::string& password) const override;

private:
    std::string method;
    std::string hash;  // sha1: lower case
    std::string salt;
};

}  // namespace Ovrin
