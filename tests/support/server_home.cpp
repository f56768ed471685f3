#include "tests/support/server_home.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace OvrinTest {

namespace fs = std::filesystem;

// Drawn below the kernel's ephemeral range (32768 and up), where no connection of a test running
// beside this one can take the port between this check and the server's bind. The port stays
// bound here, never listening, for as long as the test runs: no other draw, in this test or in
// one beside it, can hand it out again, while the server, which binds with SO_REUSEADDR as this
// socket allows once bound, still gets it.
int FreePort() {
    static std::mt19937 draw(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> range(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor < 0)
            break;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int port = range(draw);
        address.sin_port = htons(static_cast<uint16_t>(port));
        // Bound without SO_REUSEADDR, the check fails on any socket bound there, a reservation too.
        if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const int on = 1;
            ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            return port;  // the descriptor is the reservation: it closes with the process
        }
        ::close(descriptor);
    }
    return 0;
}

std::string DemoDirectory() { return std::string(OVRIN_SOURCE_DIR) + "/demo"; }

std::string XmlAttribute(const std::string& text) {
    std::string result;
    for (char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += c;
        }
    }
    return result;
}

ServerHome::ServerHome() {
    fs::create_directory(MailDirectory());
    params = {
        {"mail-directory", MailDirectory()},
        {"worker-threads-per-pool", "2"},
        {"pop3-address", "127.0.0.1"},
        {"pop3-port", std::to_string(FreePort())},  // tests may run side by side
        {"mail-interval-sec", "600"},
        {"spool-interval-sec", "5"},
        {"flush-interval-sec", "300"},
        {"incoming-connection-timeout-sec", "60"},
        {"outgoing-connection-timeout-sec", "60"},
        {"pop3-connection-attempt-timeout-sec", "120"},
        {"pop3-messages-per-session", "100"},
        {"pop3-messages-per-sync", "10"},
        {"parallel-worker-thread-work-ms", "50"},
        {"parallel-worker-thread-sleep-ms", "10"},
    };
    WriteConfig();
}

std::string ServerHome::UserPath(const std::string& user, const std::string& name) const {
    return MailDirectory() + "/" + user + "/" + name;
}

int ServerHome::POP3Port() const {
    const std::string port = Param("pop3-port");
    return port.empty() ? 0 : std::stoi(port);
}

std::string ServerHome::Param(const std::string& name) const {
    for (const auto& [existing, value] : params) {
        if (existing == name)
            return value;
    }
    return "";
}

void ServerHome::SetParam(const std::string& name, const std::string& value) {
    for (auto& [existing, old] : params) {
        if (existing == name) {
            old = value;
            return;
        }
    }
    params.emplace_back(name, value);
}

void ServerHome::RemoveParam(const std::string& name) {
    std::erase_if(params, [&](const auto& param) { return param.first == name; });
}

void ServerHome::WriteConfig() const {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n  <params>\n";
    for (const auto& [name, value] : params)
        text += "    <param name=\"" + XmlAttribute(name) + "\" value=\"" + XmlAttribute(value) + "\"/>\n";
    text += "  </params>\n</config>\n";
    WriteWholeFile(ConfigPath(), text);
}

void ServerHome::AddUser(const std::string& user) {
    const fs::path from = DemoDirectory() + "/mail/.template";
    const fs::path to = MailDirectory() + "/" + user;
    fs::create_directory(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        if (entry.is_directory())
            fs::create_directory(to / entry.path().filename());  // one level, as the manager does
        else
            fs::copy_file(entry.path(), to / entry.path().filename());
    }
}

void ServerHome::WriteFile(const std::string& relativePath, const std::string& contents) const {
    WriteWholeFile(dir / relativePath, contents);
}

bool ServerHome::Exists(const std::string& relativePath) const { return fs::exists(dir / relativePath); }

}  // namespace OvrinTest
