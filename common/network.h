// CNetwork: the process-wide holder of the sockets library, created on first use by any network
// operation. Linux needs no start-up, so it only marks where the sockets' lifetime begins.
#pragma once

namespace Ovrin {

class CNetwork {
public:
    CNetwork();
    ~CNetwork();
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;
};

// The process-wide instance; every resolution and socket creation passes through it first.
CNetwork& Network();

}  // namespace Ovrin
