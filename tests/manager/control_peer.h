// A scripted service on the control port 127.0.0.1:39219: it takes one command per connection
// and answers with the bytes the test's script gives for it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace OvrinTest {

class TControlPeer {
public:
    // The script gets the command line without its CR LF and returns the raw reply.
    using TScript = std::function<std::string(const std::string& command)>;

    // With holdOpen the peer keeps each connection after its reply until the client closes it.
    explicit TControlPeer(TScript script, bool holdOpen = false);
    ~TControlPeer();
    TControlPeer(const TControlPeer&) = delete;
    TControlPeer& operator=(const TControlPeer&) = delete;

    // What arrived on each connection, CR LF removed.
    std::vector<std::string> Commands() const;
    // The same, once at least that many connections have been served or five seconds have
    // passed: a client that closes without a reply does not wait for the peer to take it.
    std::vector<std::string> Commands(size_t atLeast) const;

private:
    void Serve();
    void Answer(int connection);

    TScript script;
    bool holdOpen;
    int listener = -1;
    std::atomic<bool> stopping{false};
    mutable std::mutex lock;
    std::vector<std::string> commands;
    std::thread thread;
};

// A service that takes connections into its backlog and never answers.
class TSilentControlPeer {
public:
    TSilentControlPeer();
    ~TSilentControlPeer();
    TSilentControlPeer(const TSilentControlPeer&) = delete;
    TSilentControlPeer& operator=(const TSilentControlPeer&) = delete;

private:
    int listener;
};

// A script of a running server: "noop" and "get config NAME" from the table, "err" otherwise.
TControlPeer::TScript RunningServer(std::vector<std::pair<std::string, std::string>> config);

}  // namespace OvrinTest
