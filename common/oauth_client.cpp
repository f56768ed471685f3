// COAuthClient: form posts to OAuth 2.0 endpoints through libcurl, JSON answers read with
// nlohmann::json. Messages name the endpoint and the error code, never a token or secret.
#include "common/oauth_client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

namespace Ovrin {

namespace {

using json = nlohmann::json;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// Adds the extra CA file to the roots libcurl loaded.
CURLcode AddCA(CURL*, void* context, void* file) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    return X509_STORE_load_file(store, static_cast<const std::string*>(file)->c_str()) == 1
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

struct CReply {
    long status = 0;
    json body;
};

std::string Escaped(CURL* curl, const std::string& text) {
    std::unique_ptr<char, decltype(&curl_free)> escaped(
        curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size())), curl_free);
    if (!escaped)
        throw CMessageException("curl_easy_escape() failed");
    return escaped.get();
}

CReply Post(const std::string& url, const std::vector<std::pair<std::string, std::string>>& fields,
            const std::string& caFile, long timeout) {
    if (!IsHTTPSAddress(url))
        throw CMessageException("The OAuth endpoint '%s' is not an https address", url.c_str());
    GlobalInit();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        throw CMessageException("curl_easy_init() failed");
    std::string form;
    for (const auto& [name, value] : fields)
        if (!value.empty())
            form += (form.empty() ? "" : "&") + name + "=" + Escaped(curl.get(), value);
    std::string body;
    char error[CURL_ERROR_SIZE] = "";
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Accept: application/json"), curl_slist_free_all);
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, timeout);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, AddCA);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &caFile);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    const CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK)
        throw CMessageException("The OAuth endpoint %s could not be reached: %s", url.c_str(),
                                error[0] ? error : curl_easy_strerror(code));
    CReply reply;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = json::parse(body, nullptr, false);
    if (!reply.body.is_object())
        throw CMessageException("The OAuth endpoint %s answered HTTP %ld without a JSON object", url.c_str(),
                                reply.status);
    return reply;
}

std::string Text(const json& body, const char* name) {
    auto it = body.find(name);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t Number(const json& body, const char* name, int64_t fallback) {
    auto it = body.find(name);
    if (it != body.end() && it->is_number_integer())
        return it->get<int64_t>();
    // Some endpoints send numbers as strings.
    if (it != body.end() && it->is_string()) {
        try {
            return std::stoll(it->get<std::string>());
        } catch (const std::exception&) {
        }
    }
    return fallback;
}

COAuthGrant Grant(const std::string& url, const CReply& reply) {
    COAuthGrant grant;
    grant.accessToken = Text(reply.body, "access_token");
    grant.refreshToken = Text(reply.body, "refresh_token");
    grant.expiresIn = Number(reply.body, "expires_in", 3600);
    if (reply.status != 200 || grant.accessToken.empty())
        throw CMessageException("The OAuth endpoint %s gave no access token (HTTP %ld)", url.c_str(), reply.status);
    return grant;
}

}  // namespace

bool IsHTTPSAddress(const std::string& url) { return url.rfind("https://", 0) == 0 && url.size() > 8; }

COAuthClient::COAuthClient(std::string caFile, long timeout) : caFile(std::move(caFile)), timeout(timeout) {}

COAuthGrant COAuthClient::Refresh(const std::string& tokenUrl, const std::string& clientId,
                                  const std::string& clientSecret, const std::string& refreshToken) const {
    const CReply reply = Post(tokenUrl,
                              {{"grant_type", "refresh_token"},
                               {"refresh_token", refreshToken},
                               {"client_id", clientId},
                               {"client_secret", clientSecret}},
                              caFile, timeout);
    const std::string error = Text(reply.body, "error");
    if (error == "invalid_grant")
        throw COAuthGrantRefused(tokenUrl);
    if (!error.empty())
        throw CMessageException("The OAuth endpoint %s refused to refresh the access token (%s)", tokenUrl.c_str(),
                                error.c_str());
    return Grant(tokenUrl, reply);
}

CDeviceAuthorization COAuthClient::AuthorizeDevice(const std::string& deviceUrl, const std::string& clientId,
                                                   const std::string& clientSecret, const std::string& scope) const {
    const CReply reply =
        Post(deviceUrl, {{"client_id", clientId}, {"client_secret", clientSecret}, {"scope", scope}}, caFile, timeout);
    CDeviceAuthorization authorization;
    authorization.deviceCode = Text(reply.body, "device_code");
    authorization.userCode = Text(reply.body, "user_code");
    authorization.verificationUri = Text(reply.body, "verification_uri");
    if (authorization.verificationUri.empty())
        authorization.verificationUri = Text(reply.body, "verification_url");  // an older name still in use
    authorization.interval = Number(reply.body, "interval", 5);
    authorization.expiresIn = Number(reply.body, "expires_in", 600);
    if (reply.status != 200 || authorization.deviceCode.empty() || authorization.userCode.empty() ||
        authorization.verificationUri.empty()) {
        const std::string error = Text(reply.body, "error");
        throw CMessageException("The OAuth endpoint %s did not start a device authorization (HTTP %ld%s%s)",
                                deviceUrl.c_str(), reply.status, error.empty() ? "" : ", ", error.c_str());
    }
    return authorization;
}

COAuthClient::TPoll COAuthClient::PollDevice(const std::string& tokenUrl, const std::string& clientId,
                                             const std::string& clientSecret, const std::string& deviceCode,
                                             COAuthGrant& grant) const {
    const CReply reply = Post(tokenUrl,
                              {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                               {"device_code", deviceCode},
                               {"client_id", clientId},
                               {"client_secret", clientSecret}},
                              caFile, timeout);
    const std::string error = Text(reply.body, "error");
    if (error == "authorization_pending")
        return TPoll::Pending;
    if (error == "slow_down")
        return TPoll::SlowDown;
    if (error == "access_denied")
        throw CMessageException("The authorization was denied");
    if (error == "expired_token")
        throw CMessageException("The user code expired before the authorization was given");
    if (!error.empty())
        throw CMessageException("The OAuth endpoint %s refused the authorization (%s)", tokenUrl.c_str(),
                                error.c_str());
    grant = Grant(tokenUrl, reply);
    if (grant.refreshToken.empty())
        throw CMessageException("The OAuth endpoint %s gave no refresh token", tokenUrl.c_str());
    return TPoll::Granted;
}

}  // namespace Ovrin
