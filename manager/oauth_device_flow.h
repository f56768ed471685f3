// TOAuthDeviceFlow: the device authorization grant (RFC 8628) for a POP3 account, run off the
// GUI thread: asks for a user code, then polls the token endpoint at the interval it names until
// the person has authorized the client elsewhere. Reports back through queued signals.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <string>
#include <thread>

namespace Ovrin {

class TOAuthDeviceFlow : public QObject {
    Q_OBJECT
public:
    struct TRequest {
        std::string deviceUrl;
        std::string tokenUrl;
        std::string clientId;
        std::string clientSecret;
        std::string scope;
        std::string caFile;  // trusted besides the system's roots, may be empty
    };

    explicit TOAuthDeviceFlow(QObject* parent = nullptr);
    // Stops a flow under way at its next poll and waits for it.
    ~TOAuthDeviceFlow() override;

    // False when a flow is still under way.
    bool Start(const TRequest& request);

signals:
    void Prompted(const QString& verificationUri, const QString& userCode);
    void Granted(const QString& refreshToken);
    void Failed(const QString& reason);

private:
    void Run(TRequest request);
    void Stop();

    std::thread worker;
    std::atomic<bool> running{false};
    std::atomic<bool> cancelled{false};
};

}  // namespace Ovrin
