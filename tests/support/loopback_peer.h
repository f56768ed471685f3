// LoopbackPeer: what the tests' small network peers share: a listener on 127.0.0.1 at a free
// port, one connection at a time served on a thread of its own, every wait bounded so that a
// test never hangs on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace OvrinTest {

class LoopbackPeer {
public:
    static constexpr int kPollMilliseconds = 100;
    static constexpr int kIdleLimitMilliseconds = 30000;

    // Starts at once: `serve` gets each accepted connection, which is closed after it returns.
    explicit LoopbackPeer(std::function<void(int client)> serve);
    ~LoopbackPeer();

    uint16_t Port() const { return port; }
    // The peer is going away: a connection's loop ends.
    bool Stopping() const { return stopping; }

    static bool SendAll(int fd, const char* bytes, size_t size);
    static bool SendAll(int fd, const std::string& bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

private:
    std::function<void(int)> serve;
    int listener = -1;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

}  // namespace OvrinTest
