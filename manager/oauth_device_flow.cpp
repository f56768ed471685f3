#include "manager/oauth_device_flow.h"

#include <chrono>

#include "common/oauth_client.h"

namespace Ovrin {

namespace {

// Each request may take this long as a whole.
constexpr long kRequestSeconds = 30;

}  // namespace

TOAuthDeviceFlow::TOAuthDeviceFlow(QObject* parent) : QObject(parent) {}

TOAuthDeviceFlow::~TOAuthDeviceFlow() { Stop(); }

void TOAuthDeviceFlow::Stop() {
    cancelled = true;
    if (worker.joinable())
        worker.join();
    cancelled = false;
}

bool TOAuthDeviceFlow::Start(const TRequest& request) {
    if (running)
        return false;
    Stop();  // the finished one
    running = true;
    worker = std::thread([this, request] { Run(request); });
    return true;
}

void TOAuthDeviceFlow::Run(TRequest request) {
    try {
        const COAuthClient client(request.caFile, kRequestSeconds);
        const CDeviceAuthorization authorization =
            client.AuthorizeDevice(request.deviceUrl, request.clientId, request.clientSecret, request.scope);
        emit Prompted(QString::fromStdString(authorization.verificationUri),
                      QString::fromStdString(authorization.userCode));
        auto interval = std::chrono::seconds(authorization.interval > 0 ? authorization.interval : 5);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(authorization.expiresIn);
        for (;;) {
            // The wait between polls, ended early when the window goes.
            for (auto until = std::chrono::steady_clock::now() + interval; std::chrono::steady_clock::now() < until;)
                if (cancelled) {
                    running = false;
                    return;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            if (std::chrono::steady_clock::now() >= end)
                throw CMessageException("The user code expired before the authorization was given");
            COAuthGrant grant;
            const COAuthClient::TPoll poll = client.PollDevice(request.tokenUrl, request.clientId,
                                                               request.clientSecret, authorization.deviceCode, grant);
            if (poll == COAuthClient::TPoll::Granted) {
                emit Granted(QString::fromStdString(grant.refreshToken));
                break;
            }
            if (poll == COAuthClient::TPoll::SlowDown)
                interval += std::chrono::seconds(5);  // as RFC 8628 asks
        }
    } catch (const std::exception& e) {
        emit Failed(QString::fromUtf8(e.what()));
    }
    running = false;
}

}  // namespace Ovrin
