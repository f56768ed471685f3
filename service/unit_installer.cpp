// The unit and the snippet are written through CFile; systemctl runs as a child with our standard
// streams.
#include "service/unit_installer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/exception.h"
#include "common/file.h"
#include "common/trace.h"
#include "service/system_tool.h"

namespace Ovrin {

namespace {

std::string UnitPath(const CSystemdPaths& paths) { return paths.unitDirectory + "/" + kServiceName + ".service"; }
std::string LogrotatePath(const CSystemdPaths& paths) { return paths.logrotateDirectory + "/" + kServiceName; }

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
    arguments.insert(arguments.begin(), paths.systemctl);
    return RunSystemTool(std::move(arguments));
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// systemd reads "%" as a specifier and splits ExecStart and path lists at blanks unless quoted.
std::string QuotedPath(const std::string& path) {
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

// Where the installed directory's mutable parts are: the mail store as configured, and the log.
std::string MailStorePath(const std::string& directory, const CInstalledConfig& config) {
    return config.mailDirectory[0] == '/' ? config.mailDirectory : directory + "/" + config.mailDirectory;
}

std::string LogPath(const std::string& directory) { return directory + "/ovrin.log"; }

}  // namespace

CSystemdPaths CSystemdPaths::FromEnvironment() {
    CSystemdPaths paths;
    if (const char* value = std::getenv("OVRIN_SYSTEMCTL"); value && *value)
        paths.systemctl = value;
    if (const char* value = std::getenv("OVRIN_UNIT_DIRECTORY"); value && *value)
        paths.unitDirectory = value;
    if (const char* value = std::getenv("OVRIN_SYSTEMD_RUN_DIRECTORY"); value && *value)
        paths.runDirectory = value;
    if (const char* value = std::getenv("OVRIN_LOGROTATE_DIRECTORY"); value && *value)
        paths.logrotateDirectory = value;
    return paths;
}

std::string UnitText(const std::string& programPath, const CInstalledConfig& config) {
    const std::string directory = DirectoryOf(programPath);
    std::string workingDirectory;
    for (char c : directory)
        workingDirectory += c == '%' ? std::string("%%") : std::string(1, c);
    // Only a POP3 port below 1024 needs a capability, and then only that one.
    const std::string capabilities = config.lowPort ? "CAP_NET_BIND_SERVICE" : "";
    return "[Unit]\n"
           "Description=Receives, processes, filters and delivers users' mail\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" + QuotedPath(programPath) + "\n"
           "# SIGHUP reopens ovrin.log after a rotation, and nothing else.\n"
           "ExecReload=/bin/kill -HUP $MAINPID\n"
           "WorkingDirectory=" + workingDirectory + "\n"
           "Restart=on-failure\n"
           "# SIGTERM to the service alone: it stops the server itself, in order, and ends it\n"
           "# harder after 35 s at most.\n"
           "KillMode=mixed\n"
           "TimeoutStopSec=60\n"
           "User=" + kServiceUser + "\n"
           "Group=" + kServiceUser + "\n"
           "UMask=0077\n"
           "CapabilityBoundingSet=" + capabilities + "\n"
           "AmbientCapabilities=" + capabilities + "\n"
           "NoNewPrivileges=yes\n"
           "ProtectSystem=strict\n"
           "# The directory, not ovrin.log alone: a file's mount would keep the renamed file after a\n"
           "# rotation. Its permissions leave the service only its own files there to write.\n"
           "ReadWritePaths=" + QuotedPath(directory) + " " + QuotedPath(MailStorePath(directory, config)) + "\n"
           "ProtectHome=yes\n"
           "PrivateTmp=yes\n"
           "PrivateDevices=yes\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectClock=yes\n"
           "ProtectHostname=yes\n"
           "ProtectProc=invisible\n"
           "ProcSubset=pid\n"
           "# AF_NETLINK: the control port asks the kernel who owns a client's socket.\n"
           "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
           "RestrictNamespaces=yes\n"
           "RestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\n"
           "LockPersonality=yes\n"
           "MemoryDenyWriteExecute=yes\n"
           "RemoveIPC=yes\n"
           "PrivateMounts=yes\n"
           "SystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\n"
           "SystemCallFilter=~@privileged @resources\n"
           "SystemCallErrorNumber=EPERM\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string LogrotateText(const std::string& programPath) {
    std::string log;
    for (char c : LogPath(DirectoryOf(programPath)))
        log += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return std::string("# Rotates the log of the Ovrin Mail Filter: the service reopens it on its reload (SIGHUP).\n") +
           "\"" + log + "\" {\n"
           "    weekly\n"
           "    rotate 4\n"
           "    compress\n"
           "    delaycompress\n"
           "    missingok\n"
           "    notifempty\n"
           "    create 0600 " + kServiceUser + " " + kServiceUser + "\n"
           "    postrotate\n"
           "        systemctl reload " + kServiceName + ".service >/dev/null 2>&1 || true\n"
           "    endscript\n"
           "}\n";
}

bool WriteSystemFile(const std::string& path, const std::string& text) {
    return Contained([&] {
        CFile file(path, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_ALWAYS, CFile::DELETE_ON_WRITE_FAILURE);
        file.Write(text.data(), static_cast<uint32_t>(text.size()));
        file.Flush();
        if (::chmod(path.c_str(), 0644) != 0)
            throw CMessageException("chmod('%s') failed, errno=%d", path.c_str(), errno);
    }, "WriteSystemFile('%s')", path.c_str());
}

namespace {

// Creates the user when missing and hands it the mutable parts; a missing log is created first,
// as the service may not create files in the directory.
bool PrepareInstalledDirectory(const std::string& directory, const CInstalledConfig& config) {
    const auto user = EnsureServiceUser();
    if (!user)
        return false;
    const bool logReady = Contained([&] {
        CFile(LogPath(directory), CFile::ACCESS_WRITE, CFile::SHARE_READ_WRITE, CFile::OPEN_ALWAYS, CFile::APPEND);
    }, "InstallService('%s')", directory.c_str());
    if (!logReady) {
        std::fprintf(stderr, "ovrin-service: the log %s could not be created.\n", LogPath(directory).c_str());
        return false;
    }
    std::vector<std::string> paths{LogPath(directory), MailStorePath(directory, config)};
    if (Exists(directory + "/config.xml"))
        paths.push_back(directory + "/config.xml");
    return GiveToServiceUser(paths, user->first, user->second);
}

}  // namespace

int InstallService(const std::string& programPath, const CSystemdPaths& paths) {
    if (!SystemdRunning(paths, "installed"))
        return 1;
    const std::string directory = DirectoryOf(programPath);
    const CInstalledConfig config = CInstalledConfig::Read(directory + "/config.xml");
    if (!PrepareInstalledDirectory(directory, config))
        return 1;
    if (Exists(paths.logrotateDirectory) && !WriteSystemFile(LogrotatePath(paths), LogrotateText(programPath))) {
        std::fprintf(stderr, "ovrin-service: the logrotate snippet %s could not be written.\n",
                     LogrotatePath(paths).c_str());
        return 1;
    }
    const std::string unitPath = UnitPath(paths);
    if (!Exists(unitPath)) {
        if (!WriteSystemFile(unitPath, UnitText(programPath, config))) {
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
    if (Exists(LogrotatePath(paths)))
        CFile::DeleteFile(LogrotatePath(paths));
    return 0;
}

}  // namespace Ovrin
