// COAuthTokens: the access tokens of a server's OAuth accounts, held in memory until they are
// about to expire, and the refresh tokens the endpoint rotates, written back into user.xml.
#pragma once

#include <memory>
#include <string>

#include "common/oauth_client.h"
#include "server/pop3/pop3_sasl.h"

namespace Ovrin {

class COAuthTokens {
public:
    COAuthTokens();
    ~COAuthTokens();

    // A local user's account, named by remote user name, host and port.
    struct CAccount {
        std::string user;
        std::string username;
        std::string hostname;
        std::string port;
        CPOP3Login login;
    };

    // The access token held for the account, or none (empty) when it expires within a minute;
    // then the request asks the token endpoint for a new one, for the caller to move on.
    std::string Held(const CAccount& account, std::unique_ptr<COAuthRequest>& request);
    // The answer to that request: the new access token, kept; a rotated refresh token is
    // written into user.xml. Throws COAuthGrantRefused when the refresh token was refused.
    std::string Complete(const CAccount& account, const COAuthRequest& request);

private:
    struct CImpl;
    std::unique_ptr<CImpl> impl;
};

COAuthTokens& OAuthTokens();

}  // namespace Ovrin
