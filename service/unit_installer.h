// Installing and removing the service as the systemd unit "ovrinmail.service" with its logrotate
// snippet. The systemctl program, the unit directory, the directory whose presence shows a
// running systemd and logrotate's directory come from OVRIN_SYSTEMCTL, OVRIN_UNIT_DIRECTORY,
// OVRIN_SYSTEMD_RUN_DIRECTORY and OVRIN_LOGROTATE_DIRECTORY when set.
#pragma once

#include <string>

#include "service/service_user.h"

namespace Ovrin {

struct CSystemdPaths {
    std::string systemctl = "systemctl";
    std::string unitDirectory = "/etc/systemd/system";
    std::string runDirectory = "/run/systemd/system";
    std::string logrotateDirectory = "/etc/logrotate.d";

    static CSystemdPaths FromEnvironment();
};

constexpr const char* kServiceName = "ovrinmail";

// The unit that runs the program at this path in its own directory as the service's user, in a
// sandbox that leaves it the mail store and the log to write, and the network.
std::string UnitText(const std::string& programPath, const CInstalledConfig& config);

// logrotate's snippet for the log beside the program: weekly, compressed, a few generations, the
// new file made for the service's user, and SIGHUP (the unit's reload) to the service after.
std::string LogrotateText(const std::string& programPath);

// Writes a unit or snippet readable by all (systemd and logrotate files hold no secrets, and
// systemd complains of units that others cannot read); false with a WARNING on failure.
bool WriteSystemFile(const std::string& path, const std::string& text);

// Each returns the program's exit code and says on standard error why when it is 1.
// Install creates the service's user when missing and gives it the mail store, config.xml and
// the log, puts the logrotate snippet in place where logrotate is installed, then writes, enables
// and starts the unit; an existing unit is only started.
int InstallService(const std::string& programPath, const CSystemdPaths& paths);
// Remove stops, disables and deletes the unit and the snippet; no unit is no error.
int RemoveService(const CSystemdPaths& paths);

}  // namespace Ovrin
