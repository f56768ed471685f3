// ScriptedPOP3Peer: a small POP3 server on 127.0.0.1 for tests of the POP3 client: it serves a
// list of messages, applies deletions at QUIT, records every command line it gets, and can be
// told to misbehave at one point of the dialogue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loopback_peer.h"

namespace OvrinTest {

class ScriptedPOP3Peer {
public:
    struct Faults {
        bool refusePass = false;
        std::string statReply = "";      // replaces "+OK n size" when not empty
        uint32_t dropInRetr = 0;         // this RETR sends half the message, then closes
        std::string silentFrom = "";     // from the first command beginning so, no more answers
        std::string refusedMessage = "";  // RETR of this message gets "-ERR"
        std::string garbledMessage = "";  // LIST of this message gets an answer that says no size
    };

    // Messages with CR LF line ends; the account is "remote" with the password "secret".
    ScriptedPOP3Peer(std::vector<std::string> messages, Faults faults);
    explicit ScriptedPOP3Peer(std::vector<std::string> messages) : ScriptedPOP3Peer(std::move(messages), Faults()) {}
    ~ScriptedPOP3Peer();

    uint16_t Port() const;
    // Command lines without CR LF, of every session so far.
    std::vector<std::string> Commands();
    // Messages not deleted by a completed QUIT.
    std::vector<std::string> Remaining();
    void SetFaults(const Faults& faults);
    // CAPA answers with PIPELINING (otherwise "-ERR", as an old server would), and the answer
    // to the first LIST comes late enough for a client that sends ahead to be seen doing it.
    void SetPipelining(bool on);
    // UIDL answers with ids made from the messages' bytes (otherwise "-ERR", as an old server).
    void SetUidl(bool on);
    static std::string UniqueId(const std::string& message);
    // A command line was already in when the answer to the one before it went out.
    bool SawCommandsAhead();

private:
    void Session(int client);

    std::mutex mutex;
    std::vector<std::string> messages;
    Faults faults;
    std::vector<std::string> commands;
    bool pipelining = false;
    bool uidl = false;
    bool sawAhead = false;
    // Last: its thread serves sessions with the members above.
    std::unique_ptr<LoopbackPeer> peer;
};

}  // namespace OvrinTest
