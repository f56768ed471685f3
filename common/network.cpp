// CNetwork: the process-wide instance.
#include "common/network.h"

#include "common/trace.h"

namespace Ovrin {

CNetwork::CNetwork() {
    // Sockets need no library start-up here; SIGPIPE is avoided per call (MSG_NOSIGNAL).
    Traced([] {}, "CNetwork::CNetwork()");
}

CNetwork::~CNetwork() = default;

CNetwork& Network() {
    static CNetwork network;
    return network;
}

}  // namespace Ovrin
