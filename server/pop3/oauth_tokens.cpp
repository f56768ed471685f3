// The token cache by account, and the write-back of a rotated refresh token: user.xml is read
// afresh, the one entry changed and the file replaced whole. The caller's session holds the
// user's configuration, which keeps the manager's "lock user" (and so its edits) out meanwhile.
#include "server/pop3/oauth_tokens.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>

#include "common/log.h"
#include "common/oauth_client.h"
#include "common/text.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"

namespace Ovrin {

namespace {

// An access token this close to its end is renewed before the login.
constexpr std::time_t kRenewBefore = 60;

std::string OptionalValue(const char* name) { return Config().HasValue(name) ? Config().GetValue(name) : ""; }

// Writes the rotated refresh token over the previous one in the user's account entry; false
// when the entry no longer holds the previous one (edited meanwhile).
bool SaveRefreshToken(const std::string& user, const std::string& username, const std::string& hostname,
                      const std::string& port, const std::string& previous, const std::string& next) {
    const std::string path = UserPath(user, "user.xml");
    CXMLDocument document(path);
    CXPathContext context(document);
    CXPathObjectPtr clients = context.Eval("/user/pop3-clients/pop3-client");
    for (int i = 0; i < clients->GetNodeCount(); ++i) {
        CXPathContext client(clients->GetNode(i));
        if (client.Eval("@hostname")->GetText() != hostname || client.Eval("@port")->GetText() != port ||
            client.Eval("@username")->GetText() != username ||
            DecodeBASE64(Trim(client.Eval("@refresh-token")->GetText())) != previous)
            continue;
        xmlSetProp(clients->GetNode(i), BAD_CAST "refresh-token", BAD_CAST EncodeBASE64(next).c_str());
        document.SaveTo(path);
        return true;
    }
    return false;
}

}  // namespace

struct COAuthTokens::CImpl {
    struct CEntry {
        std::mutex mutex;
        std::string configured;  // the refresh token user.xml gave
        std::string current;     // the one to use: the configured one or its rotated successor
        std::string accessToken;
        std::time_t expires = 0;
    };
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<CEntry>> entries;
    // One write of user.xml at a time.
    std::mutex saving;
};

COAuthTokens::COAuthTokens() : impl(std::make_unique<CImpl>()) {}
COAuthTokens::~COAuthTokens() = default;

std::string COAuthTokens::AccessToken(const std::string& user, const std::string& username,
                                      const std::string& hostname, const std::string& port,
                                      const CPOP3Login& login) {
    // Not traced: the session reports a failure in one line of its own.
    {
        std::shared_ptr<CImpl::CEntry> entry;
        {
            std::lock_guard<std::mutex> hold(impl->mutex);
            auto& slot = impl->entries[user + "\n" + username + "@" + hostname + ":" + port];
            if (!slot)
                slot = std::make_shared<CImpl::CEntry>();
            entry = slot;
        }
        std::lock_guard<std::mutex> hold(entry->mutex);
        // A refresh token that is neither the one seen nor its successor is a new authorization.
        if (login.refreshToken != entry->configured && login.refreshToken != entry->current) {
            entry->configured = entry->current = login.refreshToken;
            entry->accessToken.clear();
        }
        const std::time_t now = std::time(nullptr);
        if (!entry->accessToken.empty() && now + kRenewBefore < entry->expires)
            return entry->accessToken;
        entry->accessToken.clear();
        const long timeout = std::atol(Config().GetValue("outgoing-connection-timeout-sec").c_str());
        const COAuthGrant grant = COAuthClient(OptionalValue("tls-ca-file"), timeout > 0 ? timeout : 60)
                                      .Refresh(login.tokenUrl, login.clientId, login.clientSecret, entry->current);
        entry->accessToken = grant.accessToken;
        entry->expires = now + grant.expiresIn;
        if (!grant.refreshToken.empty() && grant.refreshToken != entry->current) {
            std::lock_guard<std::mutex> saving(impl->saving);
            if (!SaveRefreshToken(user, username, hostname, port, entry->current, grant.refreshToken))
                Logger().Warning("The refresh token of POP3 account %s@%s:%s of user %s was renewed, but user.xml "
                                 "no longer holds the previous one; the new one is kept in memory only",
                                 username.c_str(), hostname.c_str(), port.c_str(), user.c_str());
            entry->current = grant.refreshToken;
        }
        return entry->accessToken;
    }
}

COAuthTokens& OAuthTokens() {
    static COAuthTokens instance;
    return instance;
}

}  // namespace Ovrin
