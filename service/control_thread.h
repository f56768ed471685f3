// CControlThread: the control port 127.0.0.1:39219. Serves only connections whose peer socket
// belongs to root or to the service's own user; each client's one line goes to the server's
// standard input and the server's reply back, one exchange at a time, while other clients'
// lines are gathered meanwhile. "stop" is never passed on, since only the service stops the
// server. The only reader of the server's standard output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/thread.h"
#include "service/satellite_slot.h"
#include "service/server_exchange.h"

namespace Ovrin {

class CConnectedSocket;
class CServerSocketFactory;

class CControlThread : public CThread {
public:
    static constexpr uint16_t kPort = 39219;
    // A client that has not sent a whole line in this time is dropped.
    static constexpr std::chrono::seconds kLineTime{5};
    // How long a client waits for the server's reply before its connection is closed.
    static constexpr uint32_t kReplyMilliseconds = 10000;
    // Clients waiting for their line at once; the one waiting longest goes first when more come.
    static constexpr size_t kMaxWaiting = 16;

    explicit CControlThread(CSatelliteSlot& satellite);
    ~CControlThread() override;

    // Binds the port; throws when it cannot (another program holds it), so that the service
    // fails its start rather than run without its control port.
    void Listen();

protected:
    void Execute() override;

private:
    struct CWaiting {
        std::shared_ptr<CConnectedSocket> connection;
        std::chrono::steady_clock::time_point deadline;
    };

    void Accept();
    // True when the connection is done with (answered, refused, closed by the client).
    bool Serve(CConnectedSocket& connection);

    CSatelliteSlot& satellite;
    CServerExchange exchange;
    std::unique_ptr<CServerSocketFactory> factory;
    std::vector<CWaiting> waiting;
    const uid_t serviceUser;
};

}  // namespace Ovrin
