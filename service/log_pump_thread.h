// CLogPumpThread: copies everything the server writes to its standard error into the log
// file, byte for byte. The only reader of that stream and the only writer of the file.
#pragma once

#include "common/thread.h"
#include "service/satellite_slot.h"
#include "service/service_log.h"

namespace Ovrin {

class CLogPumpThread : public CThread {
public:
    CLogPumpThread(CSatelliteSlot& satellite, CServiceLog& log) : satellite(satellite), log(log) {}

protected:
    // Reads until the server's standard error ends, then waits, testing every 100 ms, for a
    // restarted server or the stop request. A stop is only asked for once the server has
    // exited, so the pump first takes what is left in the pipe: the last lines are kept.
    void Execute() override;

private:
    CSatelliteSlot& satellite;
    CServiceLog& log;
};

}  // namespace Ovrin
