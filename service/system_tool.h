// RunSystemTool: runs one of the system's own tools (systemctl, useradd) as a child with our
// standard streams and waits for it.
#pragma once

#include <string>
#include <vector>

namespace Ovrin {

// arguments[0] is looked up in PATH; its exit code, or -1 when it could not be run or was killed.
int RunSystemTool(std::vector<std::string> arguments);

}  // namespace Ovrin
