// TPingServiceThread: asks the server "noop" every two seconds and tails ovrin.log once a
// second; it reaches the window only through queued signals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <QThread>

namespace Ovrin {

class TPingServiceThread : public QThread {
    Q_OBJECT

public:
    // The tail runs every interval, the ping every second interval.
    explicit TPingServiceThread(std::string logPath, int intervalMs = 1000, QObject* parent = nullptr);
    ~TPingServiceThread() override;

    // Asks the thread to end and waits for it.
    void Stop();
    // The log is reopened from its start on the thread's next pass, so only that thread ever
    // uses the open file.
    void RequestLogReopen();

signals:
    void serverUp();
    void serverDown();
    // Connected, but no answer within the command's time limit.
    void serverSilent();
    void logLine(const QString& line);
    void logReset();

protected:
    void run() override;

private:
    bool Sleep();  // false when told to stop

    std::string logPath;
    int intervalMs;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> reopen{false};
};

}  // namespace Ovrin
