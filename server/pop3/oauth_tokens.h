// COAuthTokens: the access tokens of a server's OAuth accounts, held in memory until they are
// about to expire, and the refresh tokens the endpoint rotates, written back into user.xml.
#pragma once

#include <memory>
#include <string>

#include "server/pop3/pop3_sasl.h"

namespace Ovrin {

class COAuthTokens {
public:
    COAuthTokens();
    ~COAuthTokens();

    // The access token of a local user's account (remote user name, host and port name it);
    // asks the token endpoint for a new one when none is held or it expires within a minute.
    // Throws COAuthGrantRefused when the endpoint refuses the refresh token.
    std::string AccessToken(const std::string& user, const std::string& username, const std::string& hostname,
                            const std::string& port, const CPOP3Login& login);

private:
    struct CImpl;
    std::unique_ptr<CImpl> impl;
};

COAuthTokens& OAuthTokens();

}  // namespace Ovrin
