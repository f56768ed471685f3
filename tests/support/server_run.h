// Starting and stopping the real ovrin program on a test's server home, with the checks every
// test of the running program makes.
#pragma once

#include <memory>

#include "tests/support/ovrin_process.h"
#include "tests/support/server_home.h"

namespace OvrinTest {

// The start-up line, with the product name and version the server always uses.
constexpr const char* kStartedLine = "main(): Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54 started";

// Writes the home's configuration, starts the program on it and waits for its start-up line.
std::unique_ptr<OvrinProcess> StartServer(ServerHome& home);
// The same in a mount namespace of its own, whose /etc/resolv.conf holds these lines alone
// ("nameserver 127.0.0.3" and options): a test's own resolver, silent or slow. Needs root.
std::unique_ptr<OvrinProcess> StartServerWithResolvConf(ServerHome& home, const std::string& resolvConf);
// Sends stop and expects "ok" and exit code 0.
void StopServer(OvrinProcess& process);

}  // namespace OvrinTest
