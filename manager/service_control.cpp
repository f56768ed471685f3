// TServiceControl: the running flag and the start and stop of the service.
#include "manager/service_control.h"

#include <cstdlib>
#include <exception>

#include <QApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include "common/exception.h"
#include "manager/process.h"

namespace Ovrin {

namespace {

class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
};

// The command runs on a helper thread so the window keeps painting while systemctl works.
void RunCommand(const std::string& commandLine) {
    std::exception_ptr failure;
    const std::string directory = "/";  // there is no %WINDIR% to run it in
    QEventLoop loop;
    QThread* runner = QThread::create([&] {
        try {
            ExecuteAndWait(commandLine, directory);  // its exit code says nothing the flag does not
        } catch (...) {
            failure = std::current_exception();
        }
    });
    QObject::connect(runner, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    runner->start();
    loop.exec();
    runner->wait();
    delete runner;
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

void TServiceControl::SetRunning(bool value) {
    if (running == value)
        return;
    running = value;
    emit runningChanged(running);
}

void TServiceControl::StartService() { Change("OVRIN_START_COMMAND", "systemctl start ovrinmail", true); }
void TServiceControl::StopService() { Change("OVRIN_STOP_COMMAND", "systemctl stop ovrinmail", false); }

void TServiceControl::Change(const char* commandVariable, const char* defaultCommand, bool wanted) {
    if (busy)
        throw CMessageException("The service is being started or stopped, please wait");
    busy = true;
    struct TClear {
        bool& flag;
        ~TClear() { flag = false; }
    } clear{busy};
    TBusyCursor cursor;
    const char* custom = std::getenv(commandVariable);
    RunCommand(custom && *custom ? custom : defaultCommand);
    if (running != wanted) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &TServiceControl::runningChanged, &loop, [&](bool now) {
            if (now == wanted)
                loop.quit();
        });
        limit.start(waitLimitMs);
        loop.exec();
    }
    emit logReopenWanted();
    if (running != wanted)
        throw CMessageException(wanted ? "The service did not start in time (waited %d ms), see the log below"
                                       : "The service did not stop in time (waited %d ms), see the log below",
                                waitLimitMs);
}

TServiceControl& ServiceControl() {
    static TServiceControl* instance = new TServiceControl;  // lives as long as the application
    return *instance;
}

}  // namespace Ovrin
