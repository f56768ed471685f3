// CuttingRelay: a relay on 127.0.0.1 in front of a loopback server that cuts one connection in
// the middle, as a dropped line would: once the client has sent a line beginning with the
// given command, the server's answers pass for that many bytes more, then both ends close.
// Later connections pass whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/loopback_peer.h"

namespace OvrinTest {

class CuttingRelay {
public:
    CuttingRelay(uint16_t target, std::string command, size_t bytesAfter);
    ~CuttingRelay();

    uint16_t Port() const { return peer->Port(); }
    bool HasCut() const { return cut; }

private:
    void Relay(int client);

    uint16_t target;
    std::string command;
    size_t bytesAfter;
    std::atomic<bool> cut{false};
    // Last: its thread relays with the members above.
    std::unique_ptr<LoopbackPeer> peer;
};

}  // namespace OvrinTest
