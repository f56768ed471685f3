#include "tests/support/scripted_pop3_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

namespace OvrinTest {

namespace {

constexpr int kPollMilliseconds = LoopbackPeer::kPollMilliseconds;
constexpr int kIdleLimitMilliseconds = LoopbackPeer::kIdleLimitMilliseconds;

bool SendAll(int fd, const std::string& bytes) { return LoopbackPeer::SendAll(fd, bytes); }

// The message as POP3 data: dot-stuffed, ended by the terminator line.
std::string Stuffed(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line[0] == '.')
            out += '.';
        out += line + "\r\n";
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return out + ".\r\n";
}

}  // namespace

ScriptedPOP3Peer::ScriptedPOP3Peer(std::vector<std::string> messages, Faults faults)
    : messages(std::move(messages)), faults(std::move(faults)),
      peer(std::make_unique<LoopbackPeer>([this](int client) { Session(client); })) {}

ScriptedPOP3Peer::~ScriptedPOP3Peer() { peer.reset(); }

uint16_t ScriptedPOP3Peer::Port() const { return peer->Port(); }

std::vector<std::string> ScriptedPOP3Peer::Commands() {
    std::lock_guard<std::mutex> hold(mutex);
    return commands;
}

std::vector<std::string> ScriptedPOP3Peer::Remaining() {
    std::lock_guard<std::mutex> hold(mutex);
    return messages;
}

void ScriptedPOP3Peer::SetPipelining(bool on) {
    std::lock_guard<std::mutex> hold(mutex);
    pipelining = on;
}

bool ScriptedPOP3Peer::SawCommandsAhead() {
    std::lock_guard<std::mutex> hold(mutex);
    return sawAhead;
}

void ScriptedPOP3Peer::SetFaults(const Faults& newFaults) {
    std::lock_guard<std::mutex> hold(mutex);
    faults = newFaults;
}

std::string ScriptedPOP3Peer::UniqueId(const std::string& message) {
    return "id" + std::to_string(std::hash<std::string>()(message));
}

void ScriptedPOP3Peer::SetUidl(bool on) {
    std::lock_guard<std::mutex> hold(mutex);
    uidl = on;
}

void ScriptedPOP3Peer::Session(int client) {
    std::vector<std::string> mailbox;
    Faults active;
    bool ahead = false;
    bool lateList = false;
    bool uids = false;
    {
        std::lock_guard<std::mutex> hold(mutex);
        mailbox = messages;
        active = faults;
        uids = uidl;
        ahead = pipelining;
        lateList = pipelining;
    }
    std::set<size_t> deleted;
    bool silent = false;
    std::string input;
    int idle = 0;
    if (!SendAll(client, "+OK scripted peer ready\r\n"))
        return;
    while (!peer->Stopping() && idle < kIdleLimitMilliseconds) {
        size_t end = input.find("\r\n");
        if (end == std::string::npos) {
            pollfd wait{client, POLLIN, 0};
            if (::poll(&wait, 1, kPollMilliseconds) <= 0) {
                idle += kPollMilliseconds;
                continue;
            }
            char chunk[4096];
            ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;  // the client went away: nothing is deleted
            idle = 0;
            input.append(chunk, static_cast<size_t>(n));
            continue;
        }
        const std::string line = input.substr(0, end);
        input.erase(0, end + 2);
        {
            std::lock_guard<std::mutex> hold(mutex);
            commands.push_back(line);
        }
        if (!active.silentFrom.empty() && line.compare(0, active.silentFrom.size(), active.silentFrom) == 0)
            silent = true;
        if (silent)
            continue;
        std::istringstream words(line);
        std::string verb;
        size_t number = 0;
        words >> verb >> number;
        const bool valid = number >= 1 && number <= mailbox.size() && !deleted.count(number);
        std::string reply;
        if (verb == "USER" || verb == "NOOP") {
            reply = "+OK\r\n";
        } else if (verb == "CAPA") {
            reply = ahead ? "+OK\r\nUSER\r\nTOP\r\nPIPELINING\r\n.\r\n" : "-ERR Unknown command\r\n";
        } else if (verb == "PASS") {
            reply = active.refusePass || line != "PASS secret" ? "-ERR [AUTH] Authentication failed.\r\n" : "+OK Logged in.\r\n";
        } else if (verb == "STAT") {
            size_t size = 0;
            for (const auto& m : mailbox)
                size += m.size();
            reply = active.statReply.empty() ? "+OK " + std::to_string(mailbox.size()) + " " + std::to_string(size) + "\r\n"
                                             : active.statReply + "\r\n";
        } else if (verb == "UIDL" && uids && number == 0) {
            reply = "+OK\r\n";
            for (size_t i = 0; i < mailbox.size(); ++i)
                if (!deleted.count(i + 1))
                    reply += std::to_string(i + 1) + " " + UniqueId(mailbox[i]) + "\r\n";
            reply += ".\r\n";
        } else if (verb == "LIST" && valid && mailbox[number - 1] == active.garbledMessage) {
            reply = "+OK " + std::to_string(number) + " many\r\n";
        } else if (verb == "LIST" && valid) {
            reply = "+OK " + std::to_string(number) + " " + std::to_string(mailbox[number - 1].size()) + "\r\n";
            if (lateList) {
                lateList = false;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
        } else if (verb == "TOP" && valid) {
            const std::string& m = mailbox[number - 1];
            size_t blank = m.find("\r\n\r\n");
            reply = "+OK\r\n" + Stuffed(blank == std::string::npos ? m : m.substr(0, blank + 2) + "\r\n");
        } else if (verb == "RETR" && valid && mailbox[number - 1] == active.refusedMessage) {
            reply = "-ERR Message is unavailable\r\n";
        } else if (verb == "RETR" && valid) {
            reply = "+OK " + std::to_string(mailbox[number - 1].size()) + " octets\r\n" + Stuffed(mailbox[number - 1]);
            if (number == active.dropInRetr) {
                SendAll(client, reply.substr(0, reply.size() / 2));
                return;
            }
        } else if (verb == "DELE" && valid) {
            deleted.insert(number);
            reply = "+OK Marked to be deleted.\r\n";
        } else if (verb == "QUIT") {
            std::lock_guard<std::mutex> hold(mutex);
            std::vector<std::string> kept;
            for (size_t i = 0; i < mailbox.size(); ++i)
                if (!deleted.count(i + 1))
                    kept.push_back(mailbox[i]);
            // Messages that arrived meanwhile stay too.
            kept.insert(kept.end(), messages.begin() + static_cast<long>(mailbox.size()), messages.end());
            messages = kept;
            SendAll(client, "+OK Logging out.\r\n");
            return;
        } else {
            reply = "-ERR Unknown command or message\r\n";
        }
        // Whatever came in meanwhile counts as sent ahead of this answer.
        for (char chunk[4096];;) {
            ssize_t n = ::recv(client, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0)
                break;
            input.append(chunk, static_cast<size_t>(n));
        }
        if (input.find("\r\n") != std::string::npos) {
            std::lock_guard<std::mutex> hold(mutex);
            sawAhead = true;
        }
        if (!SendAll(client, reply))
            return;
    }
}

}  // namespace OvrinTest
