// The SASL messages of PLAIN (RFC 4616), XOAUTH2 and OAUTHBEARER (RFC 7628) and their place in
// the POP3 AUTH dialogue (RFC 5034).
#include "server/pop3/pop3_sasl.h"

#include <sstream>

#include "common/exception.h"
#include "common/oauth_client.h"
#include "common/text.h"

namespace Ovrin {

namespace {

// RFC 5034: the AUTH line with its CR LF stays within 255 octets.
constexpr size_t kMaxAuthLine = 255;

// RFC 7628 saslname: "," and "=" escaped.
std::string SASLName(const std::string& name) {
    std::string escaped;
    for (char c : name)
        escaped += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    return escaped;
}

std::string Attribute(CXPathContext& client, const char* name) {
    return Trim(client.Eval("@%s", name)->GetText());
}

}  // namespace

TPOP3Auth ParsePOP3Auth(const std::string& text) {
    if (text.empty() || text == "user")
        return TPOP3Auth::User;
    if (text == "plain")
        return TPOP3Auth::Plain;
    if (text == "xoauth2")
        return TPOP3Auth::XOAuth2;
    if (text == "oauthbearer")
        return TPOP3Auth::OAuthBearer;
    throw CMessageException("The POP3 account's auth is '%s', it must be user, plain, xoauth2 or oauthbearer",
                            text.c_str());
}

CPOP3Login ReadPOP3Login(CXPathContext& client) {
    CPOP3Login login;
    login.auth = ParsePOP3Auth(Attribute(client, "auth"));
    if (!IsOAuth(login.auth))
        return login;
    login.tokenUrl = Attribute(client, "token-url");
    login.clientId = Attribute(client, "client-id");
    login.clientSecret = DecodeBASE64(Attribute(client, "client-secret"));
    login.refreshToken = DecodeBASE64(Attribute(client, "refresh-token"));
    if (!IsHTTPSAddress(login.tokenUrl))
        throw CMessageException("The POP3 account's token-url '%s' is not an https address", login.tokenUrl.c_str());
    if (login.clientId.empty())
        throw CMessageException("The POP3 account has no client-id");
    if (login.refreshToken.empty())
        throw CMessageException("The POP3 account has no refresh token: it must be authorized first");
    return login;
}

CPOP3SASL::CPOP3SASL(TPOP3Auth auth, const std::string& username, const std::string& secret,
                     const std::string& host, const std::string& port)
    : auth(auth) {
    std::string message;
    switch (auth) {
    case TPOP3Auth::Plain:
        message = std::string(1, '\0') + username + std::string(1, '\0') + secret;
        break;
    case TPOP3Auth::XOAuth2:
        message = "user=" + username + "\x01" "auth=Bearer " + secret + "\x01\x01";
        break;
    case TPOP3Auth::OAuthBearer:
        message = "n,a=" + SASLName(username) + ",\x01" "host=" + host + "\x01" "port=" + port +
                  "\x01" "auth=Bearer " + secret + "\x01\x01";
        break;
    case TPOP3Auth::User:
        throw CMessageException("USER and PASS is no SASL mechanism");
    }
    response = EncodeBASE64(message);
    sent = Command().size() > std::string("AUTH \r\n").size() + std::string(Mechanism()).size();
}

const char* CPOP3SASL::Mechanism() const {
    switch (auth) {
    case TPOP3Auth::Plain:
        return "PLAIN";
    case TPOP3Auth::XOAuth2:
        return "XOAUTH2";
    default:
        return "OAUTHBEARER";
    }
}

std::string CPOP3SASL::Command() const {
    const std::string bare = std::string("AUTH ") + Mechanism();
    if (bare.size() + 1 + response.size() + 2 <= kMaxAuthLine)
        return bare + " " + response + "\r\n";
    return bare + "\r\n";
}

std::string CPOP3SASL::Answer() {
    if (!sent) {
        sent = true;
        return response + "\r\n";
    }
    return IsOAuth(auth) ? "\r\n" : "*\r\n";
}

bool CPOP3SASL::OfferedIn(const std::string& capaLines) const {
    std::istringstream lines(capaLines);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (ToUpper(word) != "SASL")
            continue;
        while (words >> word)
            if (ToUpper(word) == Mechanism())
                return true;
    }
    return false;
}

bool IsContinuation(const std::string& line) { return line == "+" || line.rfind("+ ", 0) == 0; }

std::string MaskedAuthCommand(const std::string& text) {
    if (text.rfind("AUTH ", 0) == 0) {
        const size_t space = text.find(' ', 5);
        if (space != std::string::npos)
            return text.substr(0, space) + " ********\r\n";
    }
    return text;
}

}  // namespace Ovrin
