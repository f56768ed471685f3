// The token cache by account, and the write-back of a rotated refresh token: user.xml is read
// afresh, the one entry changed and the file replaced whole. The caller's session holds the
// user's configuration, which keeps the manager's "lock user" (and so its edits) out meanwhile.
#include "server/pop3/oauth_tokens.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>

#include "common/log.h"
#include "common/text.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/core/settings.h"

namespace Ovrin {

namespace {

// An access token this close to its end is renewed before the login.
constexpr std::time_t kRenewBefore = 60;

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

    // The account's entry, started afresh when user.xml holds a refresh token it has not seen.
    std::shared_ptr<CEntry> Entry(const CAccount& account);
    // One write of user.xml at a time.
    std::mutex saving;
};

COAuthTokens::COAuthTokens() : impl(std::make_unique<CImpl>()) {}
COAuthTokens::~COAuthTokens() = default;

std::shared_ptr<COAuthTokens::CImpl::CEntry> COAuthTokens::CImpl::Entry(const CAccount& account) {
    std::shared_ptr<CEntry> entry;
    {
        std::lock_guard<std::mutex> hold(mutex);
        auto& slot = entries[account.user + "\n" + account.username + "@" + account.hostname + ":" + account.port];
        if (!slot)
            slot = std::make_shared<CEntry>();
        entry = slot;
    }
    std::lock_guard<std::mutex> hold(entry->mutex);
    // A refresh token that is neither the one seen nor its successor is a new authorization.
    const std::string& given = account.login.refreshToken;
    if (given != entry->configured && given != entry->current) {
        entry->configured = entry->current = given;
        entry->accessToken.clear();
    }
    return entry;
}

std::string COAuthTokens::Held(const CAccount& account, std::unique_ptr<COAuthRequest>& request) {
    std::shared_ptr<CImpl::CEntry> entry = impl->Entry(account);
    std::lock_guard<std::mutex> hold(entry->mutex);
    if (!entry->accessToken.empty() && std::time(nullptr) + kRenewBefore < entry->expires)
        return entry->accessToken;
    const long timeout = static_cast<long>(Settings().outgoingConnectionTimeoutSec.Get());
    request = COAuthClient(Config().GetValueOr("tls-ca-file", ""), timeout > 0 ? timeout : 60)
                  .StartRefresh(account.login.tokenUrl, account.login.clientId, account.login.clientSecret,
                                entry->current);
    return std::string();
}

std::string COAuthTokens::Complete(const CAccount& account, const COAuthRequest& request) {
    const COAuthGrant grant = COAuthClient::RefreshResult(request);
    std::shared_ptr<CImpl::CEntry> entry = impl->Entry(account);
    std::lock_guard<std::mutex> hold(entry->mutex);
    entry->accessToken = grant.accessToken;
    entry->expires = std::time(nullptr) + grant.expiresIn;
    if (!grant.refreshToken.empty() && grant.refreshToken != entry->current) {
        std::lock_guard<std::mutex> saving(impl->saving);
        if (!SaveRefreshToken(account.user, account.username, account.hostname, account.port, entry->current,
                              grant.refreshToken))
            Logger().Warning("The refresh token of POP3 account %s@%s:%s of user %s was renewed, but user.xml no "
                             "longer holds the previous one; the new one is kept in memory only",
                             account.username.c_str(), account.hostname.c_str(), account.port.c_str(),
                             account.user.c_str());
        entry->current = grant.refreshToken;
    }
    return entry->accessToken;
}

COAuthTokens& OAuthTokens() {
    static COAuthTokens instance;
    return instance;
}

}  // namespace Ovrin
