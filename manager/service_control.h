// TServiceControl: the running flag that the ping thread's messages set, and the start and stop
// of the service, which wait for that flag with the window kept responsive.
#pragma once

#include <QObject>

namespace Ovrin {

class TServiceControl : public QObject {
    Q_OBJECT

public:
    bool IsRunning() const { return running; }
    void SetRunning(bool value);

    // Runs "systemctl start ovrinmail" (or $OVRIN_START_COMMAND), then waits until the server
    // answers; throws when it has not within the wait limit. Stop is the same the other way.
    void StartService();
    void StopService();
    bool IsBusy() const { return busy; }

    void SetWaitLimit(int milliseconds) { waitLimitMs = milliseconds; }

signals:
    void runningChanged(bool running);
    // After a start or stop the log is read again from its start.
    void logReopenWanted();

private:
    void Change(const char* commandVariable, const char* defaultCommand, bool wanted);

    bool running = false;
    bool busy = false;
    int waitLimitMs = 30000;
};

TServiceControl& ServiceControl();

}  // namespace Ovrin
