// CService: start, supervision with restarts, SIGHUP's reopening of the log, and the stop that
// escalates from "stop" to SIGTERM and SIGKILL.
#include "service/service.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/exception.h"
#include "common/log.h"
#include "common/thread.h"
#include "common/trace.h"
#include "service/control_thread.h"
#include "service/log_pump_thread.h"

namespace Ovrin {

namespace {

constexpr const char* kStopCommand = "stop\r\n";

long long WholeSeconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

}  // namespace

CService::CService(std::string directory) : directory(std::move(directory)) {}

CService::~CService() = default;

bool CService::Initialise() {
    return Contained([&] {
        (void)::chdir(directory.c_str());
        log.Open();
        control = std::make_unique<CControlThread>(satellite);
        control->Listen();
        if (!StartServer())
            throw CMessageException("the server '%s' could not be started", kServerCommandLine);
        logPump = std::make_unique<CLogPumpThread>(satellite, log);
    }, "CService::Initialise()");
}

bool CService::StartServer() {
    return Contained([&] {
        auto started = std::make_shared<CSatelliteProcess>(kServerCommandLine);
        serverStarted = std::chrono::steady_clock::now();
        Logger().Info("CService: started '%s' in %s (process %d)", kServerCommandLine, directory.c_str(),
                      static_cast<int>(started->GetProcessId()));
        satellite.Replace(std::move(started));
    }, "CService::StartServer()");
}

void CService::Run(const sigset_t& signals) {
    Contained([&] {
        logPump->Resume();
        control->Resume();
    }, "CService::Run()");
    for (;;) {
        if (StopSignalled(signals, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)))
            return;
        std::shared_ptr<CSatelliteProcess> current = satellite.Current();
        bool exited = false;
        Contained([&] { exited = current && current->HasCompleted(); }, "CService::Run()");
        if (!exited)
            continue;
        // The server ended on its own: keep the log, pause, start it again. Control
        // connections meanwhile fail on the dead pipes and are closed without a reply.
        auto ranFor = std::chrono::steady_clock::now() - serverStarted;
        auto pause = backoff.NextPause(ranFor);
        Logger().Warning("CService: the server '%s' (process %d) exited on its own with exit code %u after %lld s; "
                         "starting it again in %lld s",
                         kServerCommandLine, static_cast<int>(current->GetProcessId()), current->WaitForCompletion(),
                         WholeSeconds(ranFor), static_cast<long long>(pause.count()));
        for (;;) {
            if (StopSignalled(signals, std::chrono::steady_clock::now() + pause))
                return;
            if (StartServer())
                break;
            pause = backoff.NextPause({});  // a failed start counts as no run at all
            Logger().Warning("CService: the server '%s' could not be started; trying again in %lld s",
                             kServerCommandLine, static_cast<long long>(pause.count()));
        }
    }
}

bool CService::StopSignalled(const sigset_t& signals, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = deadline - std::chrono::steady_clock::now();
        if (left < std::chrono::steady_clock::duration::zero())
            left = {};
        auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec wait{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
        int signalNumber = ::sigtimedwait(&signals, nullptr, &wait);
        if (signalNumber == SIGHUP) {
            // Rotation: the old file was renamed (or cut short); lines go on under the name.
            if (Contained([&] { log.Open(); }, "CService::StopSignalled()"))
                Logger().Info("CService: SIGHUP received, %s reopened", kLogFileName);
            continue;
        }
        if (signalNumber > 0) {
            Logger().Info("CService: %s received, stopping", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
            return true;
        }
        if (errno == EAGAIN)
            return false;
        // EINTR: wait again for what is left of the time
    }
}

bool CService::ExitsWithin(CSatelliteProcess& server, std::chrono::seconds time) {
    const auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        bool exited = true;  // a process that cannot be asked about is no longer ours to wait for
        Contained([&] { exited = server.HasCompleted(); }, "CService::ExitsWithin()");
        if (exited)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        CThread::Sleep(100);
    }
}

void CService::Stop() {
    if (std::shared_ptr<CSatelliteProcess> current = satellite.Current()) {
        // A server that has already gone makes the write fail; the wait then ends at once.
        Contained([&] { current->Write(kStopCommand, 6); }, "CService::Stop()");
        const int process = static_cast<int>(current->GetProcessId());
        if (!ExitsWithin(*current, kStopWait)) {
            Logger().Warning("CService: the server '%s' (process %d) has not exited %lld s after \"stop\"; "
                             "sending SIGTERM", kServerCommandLine, process, static_cast<long long>(kStopWait.count()));
            current->Signal(SIGTERM);
            if (!ExitsWithin(*current, kTerminateWait)) {
                Logger().Warning("CService: the server '%s' (process %d) has not exited %lld s after SIGTERM; "
                                 "sending SIGKILL", kServerCommandLine, process,
                                 static_cast<long long>(kTerminateWait.count()));
                current->Signal(SIGKILL);
            }
        }
        Contained([&] {
            uint32_t code = current->WaitForCompletion();
            Logger().Info("CService: the server '%s' (process %d) has exited with exit code %u", kServerCommandLine,
                          process, code);
        }, "CService::Stop()");
    }
    if (logPump) {
        logPump->Terminate();
        Contained([&] { logPump->WaitFor(kInfinite); }, "CService::Stop()");
        logPump.reset();
    }
    if (control) {
        control->Terminate();
        Contained([&] { control->WaitFor(kInfinite); }, "CService::Stop()");
        control.reset();
    }
    satellite.Replace(nullptr);
    log.Close();
}

}  // namespace Ovrin
