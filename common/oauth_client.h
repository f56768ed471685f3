// The OAuth 2.0 token endpoint as a client sees it, over libcurl: refreshing an access token,
// and the device authorization grant that obtains the first refresh token. HTTPS only, the
// server verified against the system's roots plus an optional extra CA file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "common/socket_wait.h"

namespace Ovrin {

// The endpoint answered "invalid_grant": the refresh token is dead and only a new
// authorization by the account's owner brings the account back.
class COAuthGrantRefused : public CMessageException {
public:
    explicit COAuthGrantRefused(const std::string& endpoint)
        : CMessageException("The OAuth endpoint %s refused the refresh token (invalid_grant)", endpoint.c_str()) {}
};

struct COAuthGrant {
    std::string accessToken;
    std::string refreshToken;  // empty when the endpoint keeps the old one
    int64_t expiresIn = 0;     // seconds
};

struct CDeviceAuthorization {
    std::string deviceCode;
    std::string userCode;
    std::string verificationUri;
    int64_t interval = 5;     // seconds between polls
    int64_t expiresIn = 600;  // seconds the user code stays good
};

// One form post to an OAuth endpoint, moved on without ever waiting, so that a worker thread
// can run it beside its other connections.
class COAuthRequest {
public:
    // Throws for an address that is not https.
    COAuthRequest(const std::string& url, const std::vector<std::pair<std::string, std::string>>& fields,
                  const std::string& caFile, long timeout);
    ~COAuthRequest();
    COAuthRequest(const COAuthRequest&) = delete;
    COAuthRequest& operator=(const COAuthRequest&) = delete;

    // Moves the transfer on as far as it goes now; true once the answer is in. A transfer that
    // failed (unreachable, refused certificate, time-out, no JSON object) throws.
    bool Perform();
    // What the transfer waits for; no descriptor while it resolves the name.
    CSocketWait GetWait() const;
    // Waits for the answer, polling the connection.
    void Complete();

    struct CImpl;

private:
    friend class COAuthClient;
    std::unique_ptr<CImpl> impl;
};

class COAuthClient {
public:
    // caFile: trusted besides the system's roots, may be empty; timeout in seconds for each
    // request as a whole.
    COAuthClient(std::string caFile, long timeout);

    // grant_type=refresh_token. Throws COAuthGrantRefused on invalid_grant, CMessageException
    // on any other failure; no message carries a secret.
    COAuthGrant Refresh(const std::string& tokenUrl, const std::string& clientId, const std::string& clientSecret,
                        const std::string& refreshToken) const;
    // The same in two halves: the request to move on, then its answer read.
    std::unique_ptr<COAuthRequest> StartRefresh(const std::string& tokenUrl, const std::string& clientId,
                                                const std::string& clientSecret,
                                                const std::string& refreshToken) const;
    static COAuthGrant RefreshResult(const COAuthRequest& request);

    CDeviceAuthorization AuthorizeDevice(const std::string& deviceUrl, const std::string& clientId,
                                         const std::string& clientSecret, const std::string& scope) const;
    enum class TPoll { Pending, SlowDown, Granted };
    // One poll of the token endpoint for a device code; the grant is filled when Granted.
    // Denial, expiry and other errors throw.
    TPoll PollDevice(const std::string& tokenUrl, const std::string& clientId, const std::string& clientSecret,
                     const std::string& deviceCode, COAuthGrant& grant) const;

private:
    std::string caFile;
    long timeout;
};

// An endpoint address must be https: "https://" followed by a host.
bool IsHTTPSAddress(const std::string& url);

}  // namespace Ovrin
