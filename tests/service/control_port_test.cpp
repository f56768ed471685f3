// The control port of the real ovrin-service, with the real ovrin behind it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/server_exchange.h"
#include "service/satellite_process.h"
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
