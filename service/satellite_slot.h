// CSatelliteSlot: the server process that the service's threads talk to now. The supervisor
// puts a new one in when it restarts the server; a thread holds its copy for one exchange, so
// an old process goes only once nobody reads from it any more.
#pragma once

#include <memory>
#include <mutex>

#include "service/satellite_process.h"

namespace Ovrin {

class CSatelliteSlot {
public:
    std::shared_ptr<CSatelliteProcess> Current() const {
        std::lock_guard<std::mutex> hold(guard);
        return current;
    }
    void Replace(std::shared_ptr<CSatelliteProcess> next) {
        std::shared_ptr<CSatelliteProcess> previous;
        {
            std::lock_guard<std::mutex> hold(guard);
            previous.swap(current);
            current = std::move(next);
        }
        // previous goes here, outside the lock (its destructor may wait for its process)
    }

private:
    mutable std::mutex guard;
    std::shared_ptr<CSatelliteProcess> current;
};

}  // namespace Ovrin
