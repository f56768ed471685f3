// The control loop in this process, over pipes, where the effects of the commands on the pools
// and the training map can be seen directly. What the program shows outside (framing, start-up,
// shutdown) is tested on the real binary in server_program_test.cpp.
#include "server/program/control_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "server/program/control_channel.h"
#include "server/program/instances.h"
#include "tests/support/log_capture.h"
#include "tests/support/server_home.h"

using namespace Ovrin;
using namespace std::chrono_literals;
using OvrinTest::LogCapture;
using OvrinTest::ServerHome;

namespace {

class ControlLoop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(commands, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(replies, O_CLOEXEC), 0);
        home.AddUser("alice");
        Config().SetValue("mail-directory", home.MailDirectory());
        Config().SetValue("answer", "forty two");
        channel = std::make_unique<CControlChannel>(commands[0], replies[1], -1);
        loop = std::thread([this] { SleepInControlLoop(*channel); });
    }

    void TearDown() override {
        // A failed test may have left a lock behind; the next test would wait for it forever.
        for (int i = 0; i < 3; ++i) {
            Send("unlock user alice");
            Send("unlock ruleset alice");
        }
        ::close(commands[1]);  // end of input ends the loop
        loop.join();
        channel.reset();
        ::close(commands[0]);
        ::close(replies[0]);
        UserPool().Clear();
        RuleSetPool().Clear();
        TrainingMap().ClearValues();
        Config().DelValue("mail-directory");
        Config().DelValue("answer");
    }

    void Send(const std::string& line) {
        std::string text = line + "\r\n";
        ASSERT_EQ(::write(commands[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The next reply, or "<no reply>" after the time.
    std::string Reply(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t end = received.find("\r\n");
            if (end != std::string::npos) {
                std::string reply = received.substr(0, end);
                received.erase(0, end + 2);
                return reply;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{replies[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                return "<no reply>";
            char buffer[4096];
            ssize_t n = ::read(replies[0], buffer, sizeof buffer);
            if (n <= 0)
                return "<no reply>";
            received.append(buffer, static_cast<size_t>(n));
        }
    }

    std::string Command(const std::string& line) {
        Send(line);
        return Reply();
    }

    ServerHome home;
    int commands[2] = {-1, -1};
    int replies[2] = {-1, -1};
    std::unique_ptr<CControlChannel> channel;
    std::thread loop;
    std::string received;
};

// GetObject on another thread: ready once the user is no longer locked.
std::future<void> GetUserElsewhere(const std::string& user) {
    return std::async(std::launch::async, [user] { UserPool().GetObject(user, kInfinite); });
}

}  // namespace

TEST_F(ControlLoop, LockUserTakesTheUserOutOfServiceUntilUnlocked) {
    auto before = UserPool().GetObject("alice", kInfinite);
    ASSERT_NE(before, nullptr);
    CXPathContext context(*before);
    EXPECT_EQ(context.Eval("/user/pop3-server/authentication/@handler")->GetText(), "plaintext");
    before.reset();

    EXPECT_EQ(Command("lock user alice"), "ok");
    auto waiting = GetUserElsewhere("alice");
    EXPECT_NE(waiting.wait_for(200ms), std::future_status::ready);
    // The editor changes the file meanwhile; the unlock makes the next use read it.
    home.WriteFile("mail/alice/user.xml", "<user><pop3-server><authentication handler=\"hash\"/></pop3-server></user>");
    EXPECT_EQ(Command("unlock user alice"), "ok");
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    auto after = UserPool().GetObject("alice", kInfinite);
    CXPathContext changed(*after);
    EXPECT_EQ(changed.Eval("/user/pop3-server/authentication/@handler")->GetText(), "hash");
}

TEST_F(ControlLoop, TwoLockUserCommandsNeedTwoUnlocks) {
    EXPECT_EQ(Command("lock user alice"), "ok");
    EXPECT_EQ(Command("lock user alice"), "ok");
    EXPECT_EQ(Command("unlock user alice"), "ok");
    auto waiting = GetUserElsewhere("alice");
    EXPECT_NE(waiting.wait_for(200ms), std::future_status::ready);
    EXPECT_EQ(Command("unlock user alice"), "ok");
    EXPECT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Command("unlock user alice"), "ok");  // a third one is harmless
    EXPECT_EQ(Command("unlock user nobody"), "ok");
}

TEST_F(ControlLoop, LockUserTimesOutWhileTheUserIsInUse) {
    auto inUse = UserPool().GetObject("alice", kInfinite);
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Command("lock user alice"), "err An attempt to lock user has timed out, the server is busy");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(log.LinesWith("): an attempt to lock object timed out").size(), 1u);
    EXPECT_TRUE(log.LinesWith(" ERROR ").empty());
    // Not locked: the object is still there for the workers.
    EXPECT_EQ(UserPool().GetObject("alice", kInfinite), inUse);
}

TEST_F(ControlLoop, LockRulesetLocksTheRulesetPoolOnly) {
    auto ruleset = RuleSetPool().GetObject("alice", kInfinite);
    EXPECT_EQ(ruleset->GetRuleCount(), 1u);
    std::weak_ptr<CRuleSet> loaded = ruleset;
    ruleset.reset();
    EXPECT_EQ(Command("lock ruleset alice"), "ok");
    EXPECT_TRUE(loaded.expired());  // evicted: the next use after the unlock reads the file again
    auto user = GetUserElsewhere("alice");
    EXPECT_EQ(user.wait_for(5s), std::future_status::ready);
    auto rules = std::async(std::launch::async, [] { RuleSetPool().GetObject("alice", kInfinite); });
    EXPECT_NE(rules.wait_for(200ms), std::future_status::ready);
    EXPECT_EQ(Command("unlock ruleset alice"), "ok");
    EXPECT_EQ(rules.wait_for(5s), std::future_status::ready);
}

TEST_F(ControlLoop, LockRulesetTimesOutWhileTheRulesetIsInUse) {
    auto inUse = RuleSetPool().GetObject("alice", kInfinite);
    LogCapture log;
    EXPECT_EQ(Command("lock ruleset alice"), "err An attempt to lock ruleset has timed out, the server is busy");
}

TEST_F(ControlLoop, ReloadUsersMakesEveryUserLoadAgain) {
    std::weak_ptr<CUserXML> loaded = UserPool().GetObject("alice", kInfinite);
    EXPECT_FALSE(loaded.expired());  // cached by the pool
    EXPECT_EQ(Command("reload users"), "ok");
    EXPECT_TRUE(loaded.expired());
}

TEST_F(ControlLoop, TrainFileStoresTheLowerCaseNameWithItsMailbox) {
    EXPECT_EQ(Command("train file 20240101120000123-0123456789ABCDEF-89abcdef.MSG Work_2"), "ok");
    EXPECT_EQ(TrainingMap().GetValue("20240101120000123-0123456789abcdef-89abcdef.msg"), "Work_2");
    EXPECT_EQ(Command("train file 20240101120000123-0123456789ABCDEF-89abcdef.msg lists"), "ok");
    EXPECT_EQ(TrainingMap().GetValue("20240101120000123-0123456789abcdef-89abcdef.msg"), "lists");
    for (const char* refused : {"train file a b.msg mail", "train file 20240101120000123.042.msg mail",
                                "train file name.txt mail", "train file name.msg", "train file -a.msg mail",
                                "train file name.msg with-hyphen"}) {
        EXPECT_EQ(Command(refused), "err") << refused;
    }
}

TEST_F(ControlLoop, GetConfigOfAnUnknownNameLogsOneErrorAndAnswersWithTheReason) {
    LogCapture log;
    EXPECT_EQ(Command("get config no-such-parameter"),
              "err Value for name 'no-such-parameter' is not found in the map");
    EXPECT_EQ(Command("get config answer"), "ok forty two");
    auto errors = log.LinesWith(" ERROR ");
    ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(log.Lines());
    EXPECT_NE(errors[0].find("ERROR SleepInControlLoop(): Value for name 'no-such-parameter' is not found in the map"),
              std::string::npos);
}

TEST_F(ControlLoop, LocksLeftByTheManagerAreReleasedWhenTheLoopEnds) {
    EXPECT_EQ(Command("lock user alice"), "ok");
    EXPECT_EQ(Command("lock user alice"), "ok");
    EXPECT_EQ(Command("lock ruleset alice"), "ok");
    auto user = GetUserElsewhere("alice");
    auto ruleset = std::async(std::launch::async, [] { RuleSetPool().GetObject("alice", kInfinite); });
    EXPECT_NE(user.wait_for(100ms), std::future_status::ready);
    LogCapture log;
    EXPECT_EQ(Command("stop"), "ok");
    loop.join();
    loop = std::thread([] {});  // TearDown joins a loop thread
    // Both waiters get their objects without any unlock command.
    EXPECT_EQ(user.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ruleset.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(log.LinesWith("WARNING SleepInControlLoop(): released 2 lock(s) still held for the manager").size(), 1u);
}
