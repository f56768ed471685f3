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

std::string Escaped(CURL* curl, const std::string& text) {
    std::unique_ptr<char, decltype(&curl_free)> escaped(
        curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size())), curl_free);
    if (!escaped)
        throw CMessageException("curl_easy_escape() failed");
    return escaped.get();
}

// Notes the socket libcurl wants watched, and for what.
int WatchSocket(CURL*, curl_socket_t socket, int what, void* target, void*);

}  // namespace

struct COAuthRequest::CImpl {
    std::string url;
    std::string caFile;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, curl_easy_cleanup};
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{nullptr, curl_multi_cleanup};
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr, curl_slist_free_all};
    std::string body;
    char error[CURL_ERROR_SIZE] = "";
    int socket = -1;
    unsigned directions = 0;
    bool done = false;
    long status = 0;
    json answer;

    ~CImpl() {
        if (multi && easy)
            curl_multi_remove_handle(multi.get(), easy.get());
    }
};

namespace {

int WatchSocket(CURL*, curl_socket_t socket, int what, void* target, void*) {
    auto* impl = static_cast<COAuthRequest::CImpl*>(target);
    if (what == CURL_POLL_REMOVE) {
        if (impl->socket == socket)
            impl->socket = -1;
        return 0;
    }
    impl->socket = socket;
    impl->directions = (what & CURL_POLL_IN ? CSocketWait::kRead : 0u) | (what & CURL_POLL_OUT ? CSocketWait::kWrite : 0u);
    return 0;
}

}  // namespace

COAuthRequest::COAuthRequest(const std::string& url, const std::vector<std::pair<std::string, std::string>>& fields,
                             const std::string& caFile, long timeout)
    : impl(std::make_unique<CImpl>()) {
    if (!IsHTTPSAddress(url))
        throw CMessageException("The OAuth endpoint '%s' is not an https address", url.c_str());
    GlobalInit();
    impl->url = url;
    impl->caFile = caFile;
    impl->easy.reset(curl_easy_init());
    impl->multi.reset(curl_multi_init());
    if (!impl->easy || !impl->multi)
        throw CMessageException("curl_easy_init() failed");
    CURL* c = impl->easy.get();
    std::string form;
    for (const auto& [name, value] : fields)
        if (!value.empty())
            form += (form.empty() ? "" : "&") + name + "=" + Escaped(c, value);
    impl->headers.reset(curl_slist_append(nullptr, "Accept: application/json"));
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, timeout);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!impl->caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, AddCA);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &impl->caFile);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, impl->headers.get());
    curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &impl->body);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, impl->error);
    curl_multi_setopt(impl->multi.get(), CURLMOPT_SOCKETFUNCTION, WatchSocket);
    curl_multi_setopt(impl->multi.get(), CURLMOPT_SOCKETDATA, impl.get());
    if (curl_multi_add_handle(impl->multi.get(), c) != CURLM_OK)
        throw CMessageException("curl_multi_add_handle() failed");
}

COAuthRequest::~COAuthRequest() = default;

bool COAuthRequest::Perform() {
    if (impl->done)
        return true;
    int running = 0;
    const CURLMcode step = curl_multi_perform(impl->multi.get(), &running);
    if (step != CURLM_OK)
        throw CMessageException("curl_multi_perform() failed: %s", curl_multi_strerror(step));
    if (running > 0)
        return false;
    CURLcode result = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(impl->multi.get(), &left))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    impl->done = true;
    if (result != CURLE_OK)
        throw CMessageException("The OAuth endpoint %s could not be reached: %s", impl->url.c_str(),
                                impl->error[0] ? impl->error : curl_easy_strerror(result));
    curl_easy_getinfo(impl->easy.get(), CURLINFO_RESPONSE_CODE, &impl->status);
    impl->answer = json::parse(impl->body, nullptr, false);
    if (!impl->answer.is_object())
        throw CMessageException("The OAuth endpoint %s answered HTTP %ld without a JSON object", impl->url.c_str(),
                                impl->status);
    return true;
}

CSocketWait COAuthRequest::GetWait() const {
    CSocketWait wait;
    wait.descriptor = impl->socket;
    wait.directions = impl->directions;
    return wait;
}

void COAuthRequest::Complete() {
    // Bounded by the transfer's own time-out, which Perform enforces.
    while (!Perform()) {
        std::vector<CSocketWait> waits{GetWait()};
        WaitForSockets(waits, 100);
    }
}

namespace {

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

COAuthGrant Grant(const COAuthRequest::CImpl& reply) {
    COAuthGrant grant;
    grant.accessToken = Text(reply.answer, "access_token");
    grant.refreshToken = Text(reply.answer, "refresh_token");
    grant.expiresIn = Number(reply.answer, "expires_in", 3600);
    if (reply.status != 200 || grant.accessToken.empty())
        throw CMessageException("The OAuth endpoint %s gave no access token (HTTP %ld)", reply.url.c_str(),
                                reply.status);
    return grant;
}

}  // namespace

bool IsHTTPSAddress(const std::string& url) { return url.rfind("https://", 0) == 0 && url.size() > 8; }

COAuthClient::COAuthClient(std::string caFile, long timeout) : caFile(std::move(caFile)), timeout(timeout) {}

std::unique_ptr<COAuthRequest> COAuthClient::StartRefresh(const std::string& tokenUrl, const std::string& clientId,
                                                          const std::string& clientSecret,
                                                          const std::string& refreshToken) const {
    return std::make_unique<COAuthRequest>(tokenUrl,
                                           std::vector<std::pair<std::string, std::string>>{
                                               {"grant_type", "refresh_token"},
                                               {"refresh_token", refreshToken},
                                               {"client_id", clientId},
                                               {"client_secret", clientSecret}},
                                           caFile, timeout);
}

COAuthGrant COAuthClient::RefreshResult(const COAuthRequest& request) {
    const COAuthRequest::CImpl& reply = *request.impl;
    const std::string error = Text(reply.answer, "error");
    if (error == "invalid_grant")
        throw COAuthGrantRefused(reply.url);
    if (!error.empty())
        throw CMessageException("The OAuth endpoint %s refused to refresh the access token (%s)", reply.url.c_str(),
                                error.c_str());
    return Grant(reply);
}

COAuthGrant COAuthClient::Refresh(const std::string& tokenUrl, const std::string& clientId,
                                  const std::string& clientSecret, const std::string& refreshToken) const {
    std::unique_ptr<COAuthRequest> request = StartRefresh(tokenUrl, clientId, clientSecret, refreshToken);
    request->Complete();
    return RefreshResult(*request);
}

CDeviceAuthorization COAuthClient::AuthorizeDevice(const std::string& deviceUrl, const std::string& clientId,
                                                   const std::string& clientSecret, const std::string& scope) const {
    COAuthRequest request(deviceUrl, {{"client_id", clientId}, {"client_secret", clientSecret}, {"scope", scope}},
                          caFile, timeout);
    request.Complete();
    const COAuthRequest::CImpl& reply = *request.impl;
    CDeviceAuthorization authorization;
    authorization.deviceCode = Text(reply.answer, "device_code");
    authorization.userCode = Text(reply.answer, "user_code");
    authorization.verificationUri = Text(reply.answer, "verification_uri");
    if (authorization.verificationUri.empty())
        authorization.verificationUri = Text(reply.answer, "verification_url");  // an older name still in use
    authorization.interval = Number(reply.answer, "interval", 5);
    authorization.expiresIn = Number(reply.answer, "expires_in", 600);
    if (reply.status != 200 || authorization.deviceCode.empty() || authorization.userCode.empty() ||
        authorization.verificationUri.empty()) {
        const std::string error = Text(reply.answer, "error");
        throw CMessageException("The OAuth endpoint %s did not start a device authorization (HTTP %ld%s%s)",
                                deviceUrl.c_str(), reply.status, error.empty() ? "" : ", ", error.c_str());
    }
    return authorization;
}

COAuthClient::TPoll COAuthClient::PollDevice(const std::string& tokenUrl, const std::string& clientId,
                                             const std::string& clientSecret, const std::string& deviceCode,
                                             COAuthGrant& grant) const {
    COAuthRequest request(tokenUrl,
                          {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                           {"device_code", deviceCode},
                           {"client_id", clientId},
                           {"client_secret", clientSecret}},
                          caFile, timeout);
    request.Complete();
    const std::string error = Text(request.impl->answer, "error");
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
    grant = Grant(*request.impl);
    if (grant.refreshToken.empty())
        throw CMessageException("The OAuth endpoint %s gave no refresh token", tokenUrl.c_str());
    return TPoll::Granted;
}

}  // namespace Ovrin
