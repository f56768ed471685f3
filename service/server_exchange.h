// CServerExchange: one command line to the server and its one reply line back, in bounded time.
// The server answers every line exactly once and in order, so a reply that came too late is
// counted as owed and dropped when it arrives: it never reaches the caller of a later command.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service/satellite_process.h"

namespace Ovrin {

class CServerExchange {
public:
    // Passes the line with CR LF to the server and returns its reply with the CR LF. Empty when
    // no reply came within the time (it is then owed) or the server's output ended first (then
    // what had come of it, maybe nothing).
    std::string Exchange(const std::shared_ptr<CSatelliteProcess>& server, const std::string& line,
                         uint32_t milliseconds);

private:
    // The process the state below belongs to; a restarted server owes nothing.
    std::shared_ptr<CSatelliteProcess> server;
    std::string received;  // read but not yet handed out
    uint32_t owed = 0;     // replies to drop: their callers were given up on
};

}  // namespace Ovrin
