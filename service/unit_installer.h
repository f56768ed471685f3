// Installing and removing the service as the systemd unit "ovrinmail.service". The systemctl
// program, the unit directory and the directory whose presence shows a running systemd come
// from OVRIN_SYSTEMCTL, OVRIN_UNIT_DIRECTORY and OVRIN_SYSTEMD_RUN_DIRECTORY when set.
#pragma once

#include <string>

#include "service/service_user.h"

namespace Ovrin {

struct CSystemdPaths {
    std::string systemctl = "systemctl";
    std::string unitDirectory = "/etc/systemd/system";
    std::string runDirectory = "/run/systemd/system";

    static CSystemdPaths FromEnvironment();
};

constexpr const char* kServiceName = "ovrinmail";

// The unit that runs the program at this path in its own directory as the service's user, in a
// sandbox that leaves it the mail store and the log to write, and the network.
std::string UnitText(const std::string& programPath, const CInstalledConfig& config);

// Each returns the program's exit code and says on standard error why when it is 1.
// Install creates the service's user when missing and gives it the mail store, config.xml and
// the log, then writes, enables and starts the unit; an existing unit is only started.
int InstallService(const std::string& programPath, const CSystemdPaths& paths);
// Remove stops, disables and deletes the unit; no unit is no error.
int RemoveService(const CSystemdPaths& paths);

}  // namespace Ovrin
