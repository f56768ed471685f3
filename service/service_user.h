// The system user "ovrinmail" that the installed service runs as, and what it is given: the
// mail store, config.xml and ovrin.log of the installed directory, private to it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Ovrin {

constexpr const char* kServiceUser = "ovrinmail";

// What the unit needs to know of an installed directory's config.xml, read without the XML
// layer: commented-out parameters do not count.
struct CInstalledConfig {
    std::string mailDirectory = "mail";  // as configured: relative to the installed directory
    bool lowPort = false;                // a POP3 port below 1024 is configured

    static CInstalledConfig Read(const std::string& configPath);
};

// The user's uid and gid, creating the system user and its group (no login shell, no home)
// when missing; nullopt with the reason on standard error when that fails.
std::optional<std::pair<uid_t, gid_t>> EnsureServiceUser();

// Hands the paths (directories with everything below them) to the user, files 0600 and
// directories 0700 (a narrower file mode stays); symbolic links are never followed. False with
// the reason on standard error when one cannot be handed over.
bool GiveToServiceUser(const std::vector<std::string>& paths, uid_t uid, gid_t gid);

}  // namespace Ovrin
