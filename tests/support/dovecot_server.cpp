#include "tests/support/dovecot_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/support/server_home.h"
#include "tests/support/wait.h"

namespace OvrinTest {

namespace fs = std::filesystem;

bool AcceptsOnLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

DovecotServer::DovecotServer(const std::vector<std::pair<std::string, std::string>>& users,
                             const std::optional<Certificate>& tls, const std::optional<OAuth2>& oauth2) {
    port = static_cast<uint16_t>(FreePort());
    if (tls)
        tlsPort = static_cast<uint16_t>(FreePort());
    // Dovecot gives no mail access to root: as root the mail belongs to nobody, who must be able
    // to reach the maildirs.
    const bool root = ::geteuid() == 0;
    uid = root ? 65534 : ::geteuid();
    gid = root ? 65534 : ::getegid();
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    std::string passwd;
    for (const auto& [name, password] : users) {
        passwd += name + ":{PLAIN}" + password + "::::::\n";
        for (const char* sub : {"new", "cur", "tmp"})
            fs::create_directories(Maildir(name) + "/" + sub);
    }
    WriteWholeFile(dir / "passwd", passwd);
    std::string self;
    if (!root) {
        if (struct passwd* entry = ::getpwuid(uid))
            self = entry->pw_name;
    }
    const std::string conf =
        "base_dir = " + dir / "run" + "\n"
        "state_dir = " + dir / "state" + "\n"
        "log_path = " + dir / "dovecot.log" + "\n"
        "protocols = pop3\n"
        "listen = 127.0.0.1\n"
        + (tls ? "ssl = yes\nssl_cert = <" + tls->certificate + "\nssl_key = <" + tls->key + "\n" : "ssl = no\n") +
        "disable_plaintext_auth = no\n"
        "auth_mechanisms = " + (oauth2 ? oauth2->mechanisms : std::string("plain")) + "\n"
        "default_internal_user = " + (root ? std::string("dovecot") : self) + "\n"
        "default_login_user = " + (root ? std::string("dovenull") : self) + "\n"
        "first_valid_uid = " + std::to_string(uid) + "\n"
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + dir / "passwd" + "\n}\n" +
        (oauth2 ? "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + dir / "oauth2.conf" + "\n}\n"
                : std::string()) +
        "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid) + " gid=" + std::to_string(gid) +
        " home=" + dir / "home" + "/%u\n}\n"
        "mail_location = maildir:~/Maildir\n"
        "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " +
        std::to_string(port) + "\n  }\n" +
        (tls ? "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " + std::to_string(tlsPort) +
                   "\n    ssl = yes\n  }\n"
             : std::string()) +
        "}\n"
        "service anvil {\n  chroot =\n}\n"
        "service imap-login {\n  chroot =\n}\n";
    WriteWholeFile(dir / "dovecot.conf", conf);
    if (oauth2) {
        // Dovecot's auth process runs as another user: it reads its own copy of the CA.
        WriteWholeFile(dir / "oauth2-ca.pem", ReadWholeFile(oauth2->caFile));
        fs::permissions(dir / "oauth2-ca.pem", fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
        WriteWholeFile(dir / "oauth2.conf", "introspection_mode = post\nintrospection_url = " +
                                                oauth2->introspectionUrl + "\nforce_introspection = yes\n"
                                                "username_attribute = username\nactive_attribute = active\n"
                                                "active_value = true\ntls_ca_cert_file = " + dir / "oauth2-ca.pem" + "\n");
    }
    if (root)
        for (const auto& entry : fs::recursive_directory_iterator(dir / "home"))
            ::chown(entry.path().c_str(), uid, gid);
    if (root)
        ::chown((dir / "home").c_str(), uid, gid);
    const std::string confPath = dir / "dovecot.conf";
    pid = ::fork();
    if (pid == 0) {
        ::execlp("dovecot", "dovecot", "-F", "-c", confPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0 || !WaitUntil([&] { return AcceptsOnLoopback(port) && (tlsPort == 0 || AcceptsOnLoopback(tlsPort)); }))
        throw std::runtime_error("Dovecot did not start: " + Log());
}

DovecotServer::~DovecotServer() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        const bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    }
}

std::string DovecotServer::Maildir(const std::string& user) const { return dir / ("home/" + user + "/Maildir"); }

void DovecotServer::Deliver(const std::string& user, const std::string& text) {
    // Named so that the maildir order is the delivery order.
    char name[64];
    std::snprintf(name, sizeof name, "%010u.M%06uP1.ovrintest", 1000000000u + delivered, delivered);
    ++delivered;
    const std::string staged = Maildir(user) + "/tmp/" + name;
    WriteWholeFile(staged, text);
    ::chown(staged.c_str(), uid, gid);
    fs::rename(staged, Maildir(user) + "/new/" + name);
}

std::vector<std::string> DovecotServer::Messages(const std::string& user) const {
    std::vector<std::pair<std::string, std::string>> found;
    for (const char* sub : {"new", "cur"})
        for (const auto& entry : fs::directory_iterator(Maildir(user) + "/" + sub)) {
            // Dovecot may rename or delete a file meanwhile; the caller looks again.
            try {
                found.emplace_back(entry.path().filename().string(), ReadWholeFile(entry.path().string()));
            } catch (const std::exception&) {
            }
        }
    std::sort(found.begin(), found.end());
    std::vector<std::string> texts;
    for (auto& [name, text] : found)
        texts.push_back(std::move(text));
    return texts;
}

size_t DovecotServer::Count(const std::string& user) const {
    size_t n = 0;
    for (const char* sub : {"new", "cur"})
        for (auto it = fs::directory_iterator(Maildir(user) + "/" + sub); it != fs::directory_iterator(); ++it)
            ++n;
    return n;
}

std::string DovecotServer::Log() const {
    std::error_code ignored;
    return fs::exists(dir / "dovecot.log", ignored) ? ReadWholeFile(dir / "dovecot.log") : std::string();
}

}  // namespace OvrinTest
