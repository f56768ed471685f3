// ovrin-package-files DIRECTORY PROGRAM: writes the unit (ovrinmail.service) and the logrotate
// snippet (ovrinmail) that `ovrin-service install` would write for the program at that path, for
// a package that installs them itself.
#include <cstdio>
#include <string>

#include "service/unit_installer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ovrin-package-files DIRECTORY PROGRAM\n");
        return 2;
    }
    const std::string directory = argv[1], program = argv[2];
    // A package starts with the demo's configuration: no POP3 port below 1024.
    const bool written = Ovrin::WriteSystemFile(directory + "/ovrinmail.service", Ovrin::UnitText(program, {})) &&
                         Ovrin::WriteSystemFile(directory + "/ovrinmail", Ovrin::LogrotateText(program));
    return written ? 0 : 1;
}
