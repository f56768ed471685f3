// The command client against a scripted service on the control port.
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include <QTimer>

#include "manager/command_client.h"
#include "tests/manager/control_peer.h"

using OvrinTest::TControlPeer;

namespace {

struct TReplyCase {
    const char* reply;
    bool ok;
    const char* message;
};

TEST(SendCommand, ParsesTheReplyLine) {
    const TReplyCase cases[] = {
        {"ok value\r\n", true, "value"},
        {"ok\r\n", true, ""},
        {"  ok   spaced value \t\r\n", true, "spaced value"},
        {"err why it failed\r\n", false, "why it failed"},
        {"OK\r\n", false, "OK"},
        {"maybe\r\n", false, "maybe"},
    };
    for (const auto& c : cases) {
        std::string reply = c.reply;
        TControlPeer peer([&](const std::string&) { return reply; });
        std::string message = "untouched";
        EXPECT_EQ(Ovrin::SendCommand("get config version", &message), c.ok) << c.reply;
        EXPECT_EQ(message, c.message) << c.reply;
        EXPECT_EQ(peer.Commands(), std::vector<std::string>{"get config version"});
    }
}

TEST(SendCommand, SendsLinesUpTo2000CharactersWithLineEnd) {
    TControlPeer peer([](const std::string&) { return std::string("ok\r\n"); });
    const std::string longest = "validate regex " + std::string(1998 - 15, 'a');
    ASSERT_EQ(longest.size(), 1998u);
    EXPECT_TRUE(Ovrin::SendCommand(longest));

    std::string message;
    EXPECT_FALSE(Ovrin::SendCommand(longest + "a", &message));
    EXPECT_EQ(message, "Unable to send command to the server, the line is too long");
    // The refused line was never sent: the second connection carried nothing.
    EXPECT_EQ(peer.Commands(2), (std::vector<std::string>{longest, ""}));
}

TEST(SendCommand, ReplyOf65535BytesWithoutLineEndFails) {
    TControlPeer peer([](const std::string&) { return std::string(65535, 'x'); }, true);
    std::string message;
    EXPECT_FALSE(Ovrin::SendCommand("noop", &message));
    EXPECT_EQ(message, "Unable to receive response from the server, WSAGetLastError=0");
}

TEST(SendCommand, ServerDownFailsAtOnceWithTheConnectError) {
    std::string message;
    EXPECT_FALSE(Ovrin::SendCommand("noop", &message));
    EXPECT_EQ(message, "Unable to connect to the server, WSAGetLastError=" + std::to_string(ECONNREFUSED));
    EXPECT_FALSE(Ovrin::SendCommand("noop"));  // no message wanted
}

// A service that takes the connection into its backlog and never answers: the command gives up
// after its time limit, and on the GUI thread the window's timers go on meanwhile.
TEST(SendCommand, AServiceThatNeverAnswersFailsAfterTheTimeLimitWhileTheWindowRuns) {
    OvrinTest::TSilentControlPeer silent;
    Ovrin::SetCommandTimeout(300);

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    std::string message;
    EXPECT_FALSE(Ovrin::SendCommand("noop", &message));
    EXPECT_EQ(message, "the service did not answer");
    EXPECT_GT(ticks, 0);

    std::string elsewhere;
    std::thread([&] { Ovrin::SendCommand("noop", &elsewhere); }).join();
    EXPECT_EQ(elsewhere, "the service did not answer");

    Ovrin::SetCommandTimeout(Ovrin::kDefaultCommandTimeoutMs);
}

}  // namespace
