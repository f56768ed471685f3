// How a POP3 client session logs in: USER and PASS, or one SASL mechanism (PLAIN, XOAUTH2,
// OAUTHBEARER) whose initial response rides on the AUTH line where it fits and otherwise
// follows the server's "+ "; the account's login settings; the login lines as the log shows them.
#pragma once

#include <string>

#include "common/xml_document.h"

namespace Ovrin {

enum class TPOP3Auth { User, Plain, XOAuth2, OAuthBearer };

// "user" (or empty), "plain", "xoauth2", "oauthbearer"; anything else throws.
TPOP3Auth ParsePOP3Auth(const std::string& text);
inline bool IsOAuth(TPOP3Auth auth) { return auth == TPOP3Auth::XOAuth2 || auth == TPOP3Auth::OAuthBearer; }

// A pop3-client entry's login beyond host, port and user name. Secrets are decoded.
struct CPOP3Login {
    TPOP3Auth auth = TPOP3Auth::User;
    std::string tokenUrl;
    std::string clientId;
    std::string clientSecret;
    std::string refreshToken;
};
// Reads auth, token-url, client-id, client-secret and refresh-token of a pop3-client element;
// an OAuth login without an https token-url, a client-id or a refresh token throws.
CPOP3Login ReadPOP3Login(CXPathContext& client);

// One SASL exchange. The secret is the password for PLAIN, the access token for the others.
class CPOP3SASL {
public:
    CPOP3SASL(TPOP3Auth auth, const std::string& username, const std::string& secret, const std::string& host,
              const std::string& port);

    // "AUTH <mechanism> <initial response>", or without it when the line would pass 255 octets.
    std::string Command() const;
    // What answers a "+" line: the response when it is still due, otherwise the end of a
    // failed exchange (an empty line for OAuth, which the server's error challenge awaits;
    // "*" otherwise).
    std::string Answer();
    // The server's CAPA lines name the mechanism in their SASL line.
    bool OfferedIn(const std::string& capaLines) const;
    const char* Mechanism() const;

private:
    TPOP3Auth auth;
    std::string response;  // Base64
    bool sent = false;
};

// True for a "+" line: a server's challenge within AUTH, as opposed to "+OK".
bool IsContinuation(const std::string& line);
// An AUTH line with its initial response masked; any other line as it is.
std::string MaskedAuthCommand(const std::string& text);

}  // namespace Ovrin
