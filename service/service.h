// CService: the service's process-wide state (its directory, the log, the server process, the
// log pump and control threads) with its start, its supervision of the server, and its stop
// procedure.
#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "service/restart_backoff.h"
#include "service/satellite_slot.h"
#include "service/service_log.h"

namespace Ovrin {

class CLogPumpThread;
class CControlThread;

class CService {
public:
    static constexpr const char* kServerCommandLine = "ovrin";
    static constexpr const char* kLogFileName = "ovrin.log";
    // How long a stop waits for the server after "stop", and then again after SIGTERM, before
    // it ends the server harder: a hung or stopped server must not keep the service from ending.
    static constexpr std::chrono::seconds kStopWait{30};
    static constexpr std::chrono::seconds kTerminateWait{5};

    explicit CService(std::string directory);
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Changes to the directory, opens the log, binds the control port, starts the server and
    // creates both threads suspended. False (with the reason logged) when any of it fails.
    bool Initialise();
    // Resumes the threads, then watches the server until SIGTERM or SIGINT arrives, starting it
    // again when it exits on its own; SIGHUP reopens the log. The signals are blocked by the caller.
    void Run(const sigset_t& signals);
    // Stops the server ("stop"; after kStopWait SIGTERM, after kTerminateWait SIGKILL), then
    // joins the log pump and the control thread and closes the log. Copes with whatever
    // Initialise left.
    void Stop();

private:
    // Waits for a stop signal until the deadline, reopening the log on each SIGHUP meanwhile;
    // true when a stop signal arrived.
    bool StopSignalled(const sigset_t& signals, std::chrono::steady_clock::time_point deadline);
    bool StartServer();
    // True when the server has exited within the time.
    static bool ExitsWithin(CSatelliteProcess& server, std::chrono::seconds time);

    std::string directory;
    CServiceLog log{kLogFileName};
    CSatelliteSlot satellite;
    std::chrono::steady_clock::time_point serverStarted;
    CRestartBackoff backoff;
    std::unique_ptr<CLogPumpThread> logPump;
    std::unique_ptr<CControlThread> control;
};

}  // namespace Ovrin
