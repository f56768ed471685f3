// Runs a piece of a test in a forked child process, for behaviour that must hold between
// processes; the child's verdict comes back as its exit code, within a time limit.
#pragma once

#include <sys/types.h>

#include <functional>

namespace OvrinTest {

// Forks; the child runs body() and exits with its result (100 when it throws). Returns the
// child's pid, or -1 when fork fails.
pid_t StartChild(const std::function<int()>& body);
// Waits for the child at most this long; its exit code, or -1 when it was killed (by a signal,
// or by us after the time ran out).
int WaitChild(pid_t child, int timeoutSeconds);
// Both in one.
int RunInChild(const std::function<int()>& body, int timeoutSeconds);

}  // namespace OvrinTest
