// The control port of the real ovrin-service, with the real ovrin behind it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "service/control_thread.h"
#include "service/server_exchange.h"
#include "service/satellite_process.h"
#include "tests/support/program_run.h"
#include "tests/support/service_home.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using namespace OvrinTest;

TEST(ControlPort, PassesOneLinePerConnectionAndNeverStop) {
    ServiceHome home;
    home.Start();
    ASSERT_TRUE(WaitForControlPort()) << home.Service().LogText();
    // (what the client sends, what it gets back before the service closes the connection).
    // Each exchange is checked by the next: had the service passed on anything for a silent
    // client or for "stop", the server's answer to it would come back as the next reply, or
    // the server would have stopped.
    const std::pair<std::string, std::string> exchanges[] = {
        {"noop\r\n", "ok\r\n"},
        {"\r\n", "err\r\n"},
        {"noop\n", "ok\r\n"},
        {"stop\r\n", ""},
        {"noop\r\n", "ok\r\n"},
        {"", ""},  // connects and closes
        {"get config version\r\n", "ok 1.4, built Sep 13 2005 13:05:54\r\n"},
        {"noop", ""},  // no line end before the close: no line
        {"noop\r\n", "ok\r\n"},
    };
    for (const auto& [sent, expected] : exchanges) {
        if (sent.empty())
            ASSERT_TRUE(ControlConnectAndClose());
        else
            EXPECT_EQ(ControlExchange(sent, true), std::optional<std::string>(expected)) << sent;
    }
    const pid_t server = home.ServerPid();
    EXPECT_EQ(::kill(server, 0), 0);
    EXPECT_EQ(home.Stop(), std::optional<int>(0));
}

namespace {

// A second, unprivileged local user for one test, removed with everything it owns afterwards.
struct OtherLocalUser {
    static constexpr const char* kName = "ovrintestother";
    OtherLocalUser() {
        created = RunProgram({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", kName}, 30)
                      .exitCode == 0;
        if (const passwd* account = ::getpwnam(kName))
            uid = account->pw_uid;
    }
    ~OtherLocalUser() {
        if (created)
            RunProgram({"userdel", kName}, 30);
    }
    // One exchange with the port as this user: what came back before the connection closed. The
    // system's own python3: one in root's home is out of its reach.
    std::string Exchange(const std::string& bytes) const {
        const char* client =
            "import socket, sys\n"
            "out = b''\n"
            "try:\n"
            "    s = socket.create_connection(('127.0.0.1', 39219), timeout=20)\n"
            "    s.sendall(sys.argv[1].encode())\n"
            "    while chunk := s.recv(4096):\n"
            "        out += chunk\n"
            "except OSError:\n"
            "    pass\n"
            "sys.stdout.write(out.decode())\n";
        return RunProgram({"setpriv", std::string("--reuid=") + kName, std::string("--regid=") + kName,
                           "--clear-groups", "/usr/bin/python3", "-c", client, bytes}, 30).output;
    }
    bool created = false;
    uid_t uid = 0;
};

}  // namespace

TEST(ControlPort, ServesOnlyRootOrItsOwnUserAndAnswersEveryCommand) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second local user can only be made by root";
    const OtherLocalUser other;
    ASSERT_TRUE(other.created);
    ServiceHome home;
    home.Start();
    ASSERT_TRUE(WaitForControlPort()) << home.Service().LogText();
    // Silent clients, more than are kept waiting at once, hold up nobody.
    std::vector<int> silent;
    for (size_t i = 0; i < Ovrin::CControlThread::kMaxWaiting + 4; ++i)
        silent.push_back(ControlConnect());
    struct Case {
        bool asOther;
        std::string sent;
        std::string expected;
    };
    const Case cases[] = {
        {false, "get config no-such-name\r\n", "err Value for name 'no-such-name' is not found in the map\r\n"},
        {false, "noop\r\n", "ok\r\n"},
        {true, "validate regex other(\r\n", ""},
        {true, "noop\r\n", ""},
        {false, "get config version\r\n", "ok 1.4, built Sep 13 2005 13:05:54\r\n"},
    };
    for (const Case& c : cases) {
        const std::string reply = c.asOther ? other.Exchange(c.sent) : ControlExchange(c.sent).value_or("<none>");
        EXPECT_EQ(reply, c.expected) << c.sent;
    }
    for (int fd : silent)
        ::close(fd);
    ASSERT_EQ(home.Stop(), std::optional<int>(0));
    // Each refusal is one WARNING naming the peer and its owner; nothing of it reached the server.
    EXPECT_EQ(home.Service().LogLinesWith("WARNING CControlThread: refused the connection from 127.0.0.1:").size(), 2u)
        << home.Service().LogText();
    EXPECT_EQ(home.Service().LogLinesWith(" of uid " + std::to_string(other.uid)).size(), 2u);
    EXPECT_EQ(home.ServerLog().find("other("), std::string::npos);
}

TEST(ControlPort, ASilentClientHoldsUpNeitherTheStopNorForever) {
    ServiceHome home;
    home.Start();
    ASSERT_TRUE(WaitForControlPort());
    int silent = ControlConnect();
    ASSERT_GE(silent, 0);
    // Dropped after its time for a line; the next client is served then.
    EXPECT_EQ(ControlExchange("noop\r\n"), std::optional<std::string>("ok\r\n"));
    int another = ControlConnect();
    ASSERT_GE(another, 0);
    EXPECT_EQ(home.Stop(), std::optional<int>(0)) << home.Service().LogText();  // bounded by kProcessTimeout
    ::close(silent);
    ::close(another);
}

TEST(ControlPort, AServerKilledWithSigkillAnswersThroughThePortAgain) {
    ServiceHome home;
    home.Start();
    ASSERT_TRUE(WaitForControlPort());
    const pid_t first = home.ServerPid();
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return home.ServerStarts() == 2; }, std::chrono::seconds(10)))
        << home.Service().LogText();
    EXPECT_TRUE(WaitForControlPort(std::chrono::seconds(10))) << home.Service().LogText();
    EXPECT_EQ(home.Stop(), std::optional<int>(0));
    EXPECT_NE(home.ServerLog().find("main(): shutting down...\r\n"), std::string::npos);
}

TEST(ServerExchange, ReadsASplitReplyToItsEndAndNeverHandsOnALateOne) {
    // As in the service's main: a write to a child that has gone fails instead of killing us.
    ::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    struct Case {
        std::string script;                 // the child, answering each line it reads
        std::vector<std::string> expected;  // the replies to "a", "b", ... in turn
    };
    const Case cases[] = {
        {"read l; printf 'o'; sleep 0.2; printf 'k\\r'; sleep 0.2; printf '\\nmore'; sleep 5", {"ok\r\n"}},
        {"read l; printf 'half a reply'", {"half a reply"}},
        {"exit 0", {""}},
        // The first reply is late: its caller gets nothing, and the next caller gets its own.
        {"read l; sleep 1.5; printf 'late\\r\\n'; read l; printf 'second\\r\\n'; sleep 5", {"", "second\r\n"}},
    };
    for (const Case& c : cases) {
        WriteWholeFile(dir / "child.sh", "#!/bin/sh\n" + c.script + "\n");
        ::chmod((dir / "child.sh").c_str(), 0755);
        auto child = std::make_shared<Ovrin::CSatelliteProcess>(dir / "child.sh");
        Ovrin::CServerExchange exchange;
        std::string line = "a";
        for (const std::string& expected : c.expected) {
            std::string reply;
            try {
                reply = exchange.Exchange(child, line, 1000);
            } catch (const std::exception&) {
                reply = "";  // the child that has gone already: writing to it fails
            }
            EXPECT_EQ(reply, expected) << c.script;
            line[0]++;
        }
        ::kill(child->GetProcessId(), SIGKILL);
    }
}
