// TPingServiceThread: the ping and the log tail, reported through queued signals.
#include "manager/ping_service_thread.h"

#include <chrono>

#include "manager/command_client.h"
#include "manager/log_tail.h"

namespace Ovrin {

TPingServiceThread::TPingServiceThread(std::string logPath, int intervalMs, QObject* parent)
    : QThread(parent), logPath(std::move(logPath)), intervalMs(intervalMs) {}

TPingServiceThread::~TPingServiceThread() { Stop(); }

void TPingServiceThread::Stop() {
    {
        std::lock_guard hold(lock);
        stopping = true;
    }
    wake.notify_all();
    wait();
}

void TPingServiceThread::RequestLogReopen() { reopen = true; }

bool TPingServiceThread::Sleep() {
    std::unique_lock hold(lock);
    return !wake.wait_for(hold, std::chrono::milliseconds(intervalMs), [this] { return stopping; });
}

void TPingServiceThread::run() {
    TLogTail tail(
        logPath, [this](const std::string& line) { emit logLine(QString::fromUtf8(line.data(), line.size())); },
        [this] { emit logReset(); });
    tail.Open();
    auto stopRequested = [this] {
        std::lock_guard hold(lock);
        return stopping;
    };
    while (!stopRequested()) {
        std::string reason;
        if (SendCommand("noop", &reason))
            emit serverUp();
        else if (reason == kNoAnswer)
            emit serverSilent();
        else
            emit serverDown();
        for (int i = 0; i < 2 && !stopRequested(); ++i) {
            if (reopen.exchange(false))
                tail.Open();
            else
                tail.Pass();
            if (!Sleep())
                return;
        }
    }
}

}  // namespace Ovrin
