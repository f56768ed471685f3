// CuttingRelay: a relay on 127.0.0.1 in front of a loopback server that cuts one connection in
// the middle, as a dropped line would: once the client has sent a line beginning with the
// given command, the server's answers pass for that many bytes more, then both ends close.
// Later connections pass whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace OvrinTest {

class CuttingRelay {
public:
    CuttingRelay(uint16_t target, std::string command, size_t bytesAfter);
    ~CuttingRelay();

    uint16_t Port() const { return port; }
    bool HasCut() const { return cut; }

private:
    void Serve();
    void Relay(int client);

    uint16_t target;
    std::string command;
    size_t bytesAfter;
    int listener = -1;
    uint16_t port = 0;
    std::atomic<bool> cut{false};
    std::atomic<bool> stopping{false};
    std::thread thread;
};

}  // namespace OvrinTest
