// ServiceHome: a temporary installed Ovrin (copies of this build's ovrin and ovrin-service side
// by side with a server home's config.xml and mail store), the service started in it in the
// foreground, and a client of its control port. Every wait is bounded; the service is stopped
// with SIGTERM (and killed if it does not end) when the home goes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "tests/support/ovrin_process.h"
#include "tests/support/server_home.h"

namespace OvrinTest {

constexpr int kControlPort = 39219;

class ServiceHome {
public:
    ServiceHome();
    ~ServiceHome();

    ServerHome& Server() { return server; }
    const std::string& Path() const { return server.Path(); }
    std::string ServicePath() const { return server.Path() + "/ovrin-service"; }
    std::string ServerLog() const;

    // Starts ovrin-service in the home and waits until its server has logged its start.
    OvrinProcess& Start();
    OvrinProcess& Service() { return *service; }
    // SIGTERM, then the service's exit code (nullopt when it did not end in time).
    std::optional<int> Stop();

    // The pid of the server the service started last, from the service's own log.
    pid_t ServerPid();
    // How many servers the service has started so far.
    size_t ServerStarts();

private:
    ServerHome server;
    std::unique_ptr<OvrinProcess> service;
};

// One exchange with the control port: connects, sends the bytes (then, when asked, closes its
// sending side), and reads until the service closes the connection. nullopt when no connection
// could be made.
std::optional<std::string> ControlExchange(const std::string& bytes, bool closeAfterSending = false);
// A connection to the port, held open by the caller (who closes the descriptor); -1 on failure.
int ControlConnect();
// Connects and closes at once, sending nothing.
bool ControlConnectAndClose();
// Waits until "noop" through the port gets "ok\r\n".
bool WaitForControlPort(std::chrono::milliseconds limit = kProcessTimeout);

}  // namespace OvrinTest
