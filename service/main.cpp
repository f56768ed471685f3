// The ovrin-service program: "install" and "remove" put the systemd unit in place or take it
// away; any other command line runs the service in the foreground until SIGTERM or SIGINT
// (SIGHUP reopens its log).
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "service/service.h"
#include "service/unit_installer.h"

using namespace Ovrin;

namespace {

std::string ProgramPath() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

int RunService(const std::string& directory) {
    // Before any thread exists, so that all of them leave these signals to the main thread.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signalNumber);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A server that has gone must show as a failed write, not end the service.
    ::signal(SIGPIPE, SIG_IGN);

    CService service(directory);
    const bool initialised = service.Initialise();
    if (initialised)
        service.Run(signals);
    service.Stop();
    return initialised ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    const std::string programPath = ProgramPath();
    if (programPath.empty())
        return 1;
    if (commandLine == "install")
        return InstallService(programPath, CSystemdPaths::FromEnvironment());
    if (commandLine == "remove")
        return RemoveService(CSystemdPaths::FromEnvironment());
    return RunService(programPath.substr(0, programPath.find_last_of('/')));
}
