// CControlThread: the control port 127.0.0.1:39219, one connection at a time. The client's one
// line goes to the server's standard input, the server's reply back; "stop" is never passed on,
// since only the service stops the server. The only reader of the server's standard output.
#pragma once

#include <cstdint>
#include <string>

#include "common/thread.h"
#include "service/satellite_slot.h"

namespace Ovrin {

class CConnectedSocket;

class CControlThread : public CThread {
public:
    static constexpr uint16_t kPort = 39219;
    // A client that has sent no whole line in this time is dropped, so that a silent client
    // can hold up neither the next one nor the service's stop.
    static constexpr uint32_t kLineSeconds = 10;

    explicit CControlThread(CSatelliteSlot& satellite) : satellite(satellite) {}

    // Wakes the thread from its wait for a connection: connects once and closes at once.
    static void Wake();
    // Passes the line with CR LF to the server and returns what it answers, read until a CR LF
    // has arrived, or until its output ends (then what came so far, maybe nothing).
    static std::string Exchange(CSatelliteProcess& server, const std::string& line);

protected:
    void Execute() override;

private:
    void Serve(CConnectedSocket& connection);

    CSatelliteSlot& satellite;
};

}  // namespace Ovrin
