// CService: the service's process-wide state (its directory, the log file and its lock, the
// server process, the log pump and control threads) with its start, its supervision of the
// server, and its stop procedure.
#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/file.h"
#include "common/lock.h"
#include "service/restart_backoff.h"
#include "service/satellite_slot.h"

namespace Ovrin {

class CLogPumpThread;
class CControlThread;

class CService {
public:
    static constexpr const char* kServerCommandLine = "ovrin";
    static constexpr const char* kLogFileName = "ovrin.log";

    explicit CService(std::string directory);
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Changes to the directory, creates the log anew, starts the server and creates both
    // threads suspended. False (with the reason logged) when any of it fails.
    bool Initialise();
    // Resumes the threads, then watches the server until one of the stop signals arrives,
    // starting it again when it exits on its own.
    void Run(const sigset_t& stopSignals);
    // Stops the server ("stop"), waits for it, then joins the log pump and the control thread
    // and closes the log. Copes with whatever Initialise left.
    void Stop();

private:
    // Waits for a stop signal until the deadline; true when one arrived.
    static bool StopSignalled(const sigset_t& stopSignals, std::chrono::steady_clock::time_point deadline);
    bool StartServer();

    std::string directory;
    std::unique_ptr<CFile> logFile;
    CLock logLock;
    CSatelliteSlot satellite;
    std::chrono::steady_clock::time_point serverStarted;
    CRestartBackoff backoff;
    std::unique_ptr<CLogPumpThread> logPump;
    std::unique_ptr<CControlThread> control;
};

}  // namespace Ovrin
