// The unit is written through CFile; systemctl runs as a child with our standard streams.
#include "service/unit_installer.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/file.h"
#include "common/trace.h"

extern char** environ;

namespace Ovrin {

namespace {

std::string UnitPath(const CSystemdPaths& paths) { return paths.unitDirectory + "/" + kServiceName + ".service"; }

bool SystemdRunning(const CSystemdPaths& paths, const char* doing) {
    struct stat info {};
    if (::stat(paths.runDirectory.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return true;
    std::fprintf(stderr, "ovrin-service: systemd is not running on this machine (%s is missing), so the service "
                 "%s cannot be %s.\n", paths.runDirectory.c_str(), kServiceName, doing);
    return false;
}

// systemctl's exit code, or -1 when it could not be run or was killed.
int Systemctl(const CSystemdPaths& paths, std::vector<std::string> arguments) {
    std::vector<char*> argv{const_cast<char*>(paths.systemctl.c_str())};
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawnp(&child, paths.systemctl.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// systemd reads "%" as a specifier and splits ExecStart at blanks unless quoted.
std::string ExecStartValue(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == '%')
            escaped += '%';
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return path.find_first_of(" \t\"\\") == std::string::npos ? escaped : "\"" + escaped + "\"";
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

CSystemdPaths CSystemdPaths::FromEnvironment() {
    CSystemdPaths paths;
    if (const char* value = std::getenv("OVRIN_SYSTEMCTL"); value && *value)
        paths.systemctl = value;
    if (const char* value = std::getenv("OVRIN_UNIT_DIRECTORY"); value && *value)
        paths.unitDirectory = value;
    if (const char* value = std::getenv("OVRIN_SYSTEMD_RUN_DIRECTORY"); value && *value)
        paths.runDirectory = value;
    return paths;
}

std::string UnitText(const std::string& programPath) {
    std::string workingDirectory;
    for (char c : DirectoryOf(programPath))
        workingDirectory += c == '%' ? std::string("%%") : std::string(1, c);
    return "[Unit]\n"
           "Description=Receives, processes, filters and delivers users' mail\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" + ExecStartValue(programPath) + "\n"
           "WorkingDirectory=" + workingDirectory + "\n"
           "Restart=on-failure\n"
           "# SIGTERM to the service alone: it stops the server itself, in order.\n"
           "KillMode=mixed\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

int InstallService(const std::string& programPath, const CSystemdPaths& paths) {
    if (!SystemdRunning(paths, "installed"))
        return 1;
    const std::string unitPath = UnitPath(paths);
    if (!Exists(unitPath)) {
        bool written = Contained([&] {
            const std::string text = UnitText(programPath);
            CFile unit(unitPath, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_NEW, CFile::DELETE_ON_WRITE_FAILURE);
            unit.Write(text.data(), static_cast<uint32_t>(text.size()));
            unit.Flush();
        }, "InstallService('%s')", unitPath.c_str());
        if (!written) {
            std::fprintf(stderr, "ovrin-service: the unit %s could not be written.\n", unitPath.c_str());
            return 1;
        }
        if (Systemctl(paths, {"daemon-reload"}) != 0 || Systemctl(paths, {"enable", kServiceName}) != 0) {
            std::fprintf(stderr, "ovrin-service: systemctl could not load and enable the service %s.\n", kServiceName);
            return 1;
        }
    }
    Systemctl(paths, {"start", kServiceName});  // its result is not the installer's
    return 0;
}

int RemoveService(const CSystemdPaths& paths) {
    if (!SystemdRunning(paths, "removed"))
        return 1;
    const std::string unitPath = UnitPath(paths);
    if (!Exists(unitPath))
        return 0;
    Systemctl(paths, {"stop", kServiceName});
    Systemctl(paths, {"disable", kServiceName});
    if (!CFile::DeleteFile(unitPath)) {
        std::fprintf(stderr, "ovrin-service: the unit %s could not be deleted.\n", unitPath.c_str());
        return 1;
    }
    Systemctl(paths, {"daemon-reload"});
    return 0;
}

}  // namespace Ovrin
