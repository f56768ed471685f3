// Running a program and waiting for it, and %NAME% expansion of environment references.
#pragma once

#include <string>

namespace Ovrin {

// Runs the command line through /bin/sh in the directory, its output discarded, and returns its
// exit code (128 + the signal number when a signal ended it). Throws when it cannot start.
int ExecuteAndWait(const std::string& commandLine, const std::string& directory);

// Every %NAME% replaced by the variable's value; empty when a variable is not set or a
// reference is not closed.
std::string ExpandEnvironment(const std::string& text);

}  // namespace Ovrin
