// The ovrin program as the service sees it: start-up, the control protocol on standard input
// and output, and the orderly shutdown on "stop", end of input, SIGINT and SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "tests/support/ovrin_process.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"

using namespace std::chrono_literals;
using OvrinTest::OvrinProcess;
using OvrinTest::ServerHome;

namespace {

constexpr const char* kStarted = OvrinTest::kStartedLine;

class ServerProgram : public testing::Test {
protected:
    void SetUp() override { home.AddUser("alice"); }

    // Starts the program on the home's configuration and waits for its start-up line.
    std::unique_ptr<OvrinProcess> Start() { return StartServer(home); }

    // Sends stop and checks the orderly end: "ok", exit code 0, the shutdown line.
    void Stop(OvrinProcess& process) {
        StopServer(process);
        EXPECT_EQ(process.LogLinesWith("INFO main(): shutting down...").size(), 1u) << process.LogText();
    }

    void ExpectOrderlyEnd(OvrinProcess& process) {
        EXPECT_EQ(process.WaitForExit(), 0) << process.LogText();
        EXPECT_EQ(process.LogLinesWith("INFO main(): shutting down...").size(), 1u) << process.LogText();
    }

    ServerHome home;
};

}  // namespace

TEST_F(ServerProgram, StartsWithTheFixedProductNameAndVersion) {
    home.SetParam("product-name", "Some Other Filter");
    home.SetParam("version", "9.9");
    auto process = Start();
    EXPECT_EQ(process->LogLinesWith(" INFO main(): ").size(), 1u);
    EXPECT_EQ(process->Command("get config product-name"), "ok Ovrin Mail Filter");
    EXPECT_EQ(process->Command("get config version"), "ok 1.4, built Sep 13 2005 13:05:54");
    Stop(*process);
}

TEST_F(ServerProgram, WithoutArgumentsReadsConfigXmlOfTheWorkingDirectory) {
    home.SetParam("mail-directory", "mail");
    home.WriteConfig();
    OvrinProcess process({}, home.Path());
    EXPECT_TRUE(process.WaitForLog(kStarted)) << process.LogText();
    EXPECT_EQ(process.Command("get config mail-directory"), "ok mail");
    Stop(process);
}

TEST_F(ServerProgram, OnlyTheFirstArgumentCounts) {
    home.WriteConfig();
    OvrinProcess process({home.ConfigPath(), "/no/such/config.xml", "more"});
    EXPECT_TRUE(process.WaitForLog(kStarted)) << process.LogText();
    Stop(process);
}

TEST_F(ServerProgram, AMissingIntervalEndsStartUpWithAChainOfErrors) {
    home.RemoveParam("spool-interval-sec");
    home.WriteConfig();
    OvrinProcess process({home.ConfigPath()});
    EXPECT_EQ(process.WaitForExit(), 0) << process.LogText();
    const std::string reason = ": Value for name 'spool-interval-sec' is not found in the map";
    std::vector<std::string> errors = process.LogLinesWith(" ERROR ");
    const std::vector<std::string> chain = {"CNameValueMap::GetValue('spool-interval-sec')", "ScheduleDefaultActions()",
                                            "Startup()", "main()"};
    ASSERT_EQ(errors.size(), chain.size()) << process.LogText();
    for (size_t i = 0; i < chain.size(); ++i)
        EXPECT_NE(errors[i].find(" ERROR " + chain[i] + reason), std::string::npos) << errors[i];
    EXPECT_TRUE(process.LogLinesWith("started").empty());
    EXPECT_TRUE(process.LogLinesWith("shutting down").empty());
    EXPECT_EQ(process.Output(), "");
}

TEST_F(ServerProgram, EveryMandatoryStartUpParameterIsChecked) {
    for (const char* name : {"mail-directory", "mail-interval-sec", "flush-interval-sec", "worker-threads-per-pool",
                             "pop3-port", "pop3-address"}) {
        ServerHome other;
        other.RemoveParam(name);
        other.WriteConfig();
        OvrinProcess process({other.ConfigPath()});
        EXPECT_EQ(process.WaitForExit(), 0) << name;
        EXPECT_EQ(process.LogLinesWith(std::string("ERROR main(): Value for name '") + name + "' is not found in the map").size(),
                  1u)
            << process.LogText();
        EXPECT_TRUE(process.LogLinesWith("started").empty()) << name;
    }
}

TEST_F(ServerProgram, ANumberOrPortThatIsNoneEndsStartUpWithTheParameterAndItsText) {
    for (auto [name, text, rule] : {std::tuple{"pop3-port", "11x00", "a port number from 1 to 65535 or a service name"},
                                    std::tuple{"worker-threads-per-pool", "ten", "a whole number"}}) {
        ServerHome other;
        other.SetParam(name, text);
        other.WriteConfig();
        OvrinProcess process({other.ConfigPath()});
        EXPECT_EQ(process.WaitForExit(), 0) << name;
        const std::string reason =
            std::string(": The configuration parameter ") + name + " is '" + text + "', it must be " + rule;
        const std::vector<std::string> errors = process.LogLinesWith(" ERROR ");
        const std::vector<std::string> chain = {"CConfig::CheckSettings()", "Startup()", "main()"};
        ASSERT_EQ(errors.size(), chain.size()) << process.LogText();
        for (size_t i = 0; i < chain.size(); ++i)
            EXPECT_NE(errors[i].find(" ERROR " + chain[i] + reason), std::string::npos) << errors[i];
        EXPECT_TRUE(process.LogLinesWith("started").empty()) << name;
    }
}

TEST_F(ServerProgram, AMissingOrInvalidConfigurationEndsStartUp) {
    OvrinProcess missing({home.Path() + "/absent.xml"});
    EXPECT_EQ(missing.WaitForExit(), 0);
    EXPECT_EQ(missing.LogLinesWith("ERROR main(): Failed to load XML file from '" + home.Path() + "/absent.xml'").size(), 1u)
        << missing.LogText();

    home.SetParam("two--hyphens", "x");
    home.WriteConfig();
    OvrinProcess invalid({home.ConfigPath()});
    EXPECT_EQ(invalid.WaitForExit(), 0);
    EXPECT_EQ(invalid.LogLinesWith("ERROR main(): Invalid name for a configuration parameter: 'two--hyphens'").size(), 1u)
        << invalid.LogText();
}

TEST_F(ServerProgram, RepliesAreSingleLinesEndedByCrLfAndNothingElse) {
    auto process = Start();
    process->Send("noop\n");  // a bare LF ends a line too
    EXPECT_EQ(process->ReadReply(), "ok");
    EXPECT_EQ(process->Command("get config pop3-address"), "ok 127.0.0.1");
    EXPECT_EQ(process->Command("get config mail-directory"), "ok " + home.MailDirectory());
    Stop(*process);
    EXPECT_EQ(process->Output(), "ok\r\nok 127.0.0.1\r\nok " + home.MailDirectory() + "\r\nok\r\n");
}

TEST_F(ServerProgram, LinesThatAreNoCommandGetErr) {
    auto process = Start();
    for (const char* line : {"", "noop ", " noop", "NOOP", "stop ", "get config version ", "lock user alice ",
                             "reload  users", "frobnicate", "get config", "get config a--b", "validate regex "}) {
        EXPECT_EQ(process->Command(line), "err") << "'" << line << "'";
    }
    Stop(*process);
}

TEST_F(ServerProgram, LockUserAcceptsOnlyNamesOfOneToThirtyTwoWordCharacters) {
    auto process = Start();
    EXPECT_EQ(process->Command("lock user " + std::string(33, 'a')), "err");
    EXPECT_EQ(process->Command("lock user with-hyphen"), "err");
    EXPECT_EQ(process->Command("lock ruleset " + std::string(33, 'a')), "err");
    EXPECT_EQ(process->Command("lock user " + std::string(32, 'a')), "ok");
    EXPECT_EQ(process->Command("unlock user " + std::string(32, 'a')), "ok");
    EXPECT_EQ(process->Command("lock user alice"), "ok");
    EXPECT_EQ(process->Command("lock user alice"), "ok");
    EXPECT_EQ(process->Command("unlock user alice"), "ok");
    EXPECT_EQ(process->Command("unlock user alice"), "ok");
    EXPECT_EQ(process->Command("unlock user alice"), "ok");  // nothing left to unlock: harmless
    EXPECT_EQ(process->Command("lock ruleset alice"), "ok");
    EXPECT_EQ(process->Command("unlock ruleset alice"), "ok");
    EXPECT_EQ(process->Command("reload users"), "ok");
    EXPECT_EQ(process->Command("noop"), "ok");
    Stop(*process);
}

TEST_F(ServerProgram, GetConfigOfAnUnknownNameAnswersErrWithTheReasonAndOneError) {
    auto process = Start();
    EXPECT_EQ(process->Command("get config no-such-name"), "err Value for name 'no-such-name' is not found in the map");
    EXPECT_EQ(process->Command("noop"), "ok");
    Stop(*process);  // the log is complete once the program has ended
    auto errors = process->LogLinesWith(" ERROR ");
    ASSERT_EQ(errors.size(), 1u) << process->LogText();
    EXPECT_NE(errors[0].find("ERROR SleepInControlLoop(): Value for name 'no-such-name' is not found in the map"),
              std::string::npos);
}

TEST_F(ServerProgram, ValidateRegexAnswersWithTheLibrarysError) {
    auto process = Start();
    EXPECT_EQ(process->Command("validate regex word"), "ok");
    EXPECT_EQ(process->Command("validate regex [[:alpha:]]+ (and|or) .*"), "ok");
    std::string reply = process->Command("validate regex a(b");
    EXPECT_EQ(reply.rfind("err ", 0), 0u) << reply;
    EXPECT_GT(reply.size(), 4u);
    Stop(*process);
    auto warnings = process->LogLinesWith("WARNING Regular expression a(b is invalid: ");
    ASSERT_EQ(warnings.size(), 1u) << process->LogText();
    EXPECT_NE(warnings[0].find(reply.substr(4)), std::string::npos);  // the same text in both
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty());
}

TEST_F(ServerProgram, ALongLineIsCutTo2048BytesBeforeMatching) {
    auto process = Start();
    // Cut at 2048 bytes the expression is 2033 letters; whole, it ends in unbalanced parentheses.
    std::string line = "validate regex " + std::string(2033, 'a') + std::string(952, '(');
    ASSERT_EQ(line.size(), 3000u);
    EXPECT_EQ(process->Command(line), "ok");
    // Far longer lines cost no more than that, and the next line is read as usual.
    process->SendLine(std::string(1 << 20, 'x'));
    EXPECT_EQ(process->ReadReply(), "err");
    EXPECT_EQ(process->Command("noop"), "ok");
    Stop(*process);
    EXPECT_EQ(process->LogLinesWith("WARNING ValidateRegexedLine(): input line is too long, exceeds 2048 bytes").size(), 2u);
}

TEST_F(ServerProgram, CheckUserOfAnInvalidNameIsErrAndTrainFileIsOk) {
    auto process = Start();
    EXPECT_EQ(process->Command("check user with-hyphen"), "err");
    EXPECT_EQ(process->Command("train file 12345678901234567890.msg mail"), "ok");
    Stop(*process);
}

TEST_F(ServerProgram, ValidatePythonCompilesMultiLineScriptsWithoutRunningThem) {
    auto process = Start();
    const std::string marker = home.Path() + "/script-ran";
    // Two lines joined by the line-break macro; run, it would create the marker file.
    std::string script = "open('" + marker + "', 'w').write('x'){{x-ovrin-crlf}}if True:{{x-ovrin-crlf}}"
                         "    result = \"match\"";
    EXPECT_EQ(process->Command("validate python " + script), "ok");
    EXPECT_FALSE(std::filesystem::exists(marker));
    // A failing script answers with the exception's type and message, and its line number.
    std::string broken = process->Command("validate python result = 1{{x-ovrin-crlf}}x = (");
    EXPECT_EQ(broken.rfind("err Python exception <class 'SyntaxError'>: '(' was never closed", 0), 0u) << broken;
    EXPECT_NE(broken.find("line 2)"), std::string::npos) << broken;
    EXPECT_EQ(process->Command("validate python result = 1{{x-ovrin-crlf}}result += 2"), "ok");
    EXPECT_EQ(process->Command("noop"), "ok");
    Stop(*process);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(ServerProgram, LinesAfterStopAreNotHandled) {
    auto process = Start();
    process->Send("stop\r\nnoop\r\nget config version\r\n");
    EXPECT_EQ(process->ReadReply(), "ok");
    EXPECT_TRUE(process->WaitForOutputEnd());
    ExpectOrderlyEnd(*process);
    EXPECT_EQ(process->Output(), "ok\r\n");
}

TEST_F(ServerProgram, EndOfInputShutsDownLikeStopWithoutAReply) {
    auto process = Start();
    EXPECT_EQ(process->Command("noop"), "ok");
    process->Send("noop");  // an unterminated last line is still a command
    process->CloseInput();
    ExpectOrderlyEnd(*process);
    EXPECT_EQ(process->Output(), "ok\r\nok\r\n");
}

TEST_F(ServerProgram, SigtermAndSigintShutDownInOrderWithoutAReply) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        auto process = Start();
        EXPECT_EQ(process->Command("lock ruleset alice"), "ok");
        process->Signal(signalNumber);
        ExpectOrderlyEnd(*process);
        EXPECT_EQ(process->Output(), "ok\r\n");
        EXPECT_EQ(process->LogLinesWith(signalNumber == SIGTERM ? "SIGTERM" : "SIGINT").size(), 1u) << process->LogText();
    }
}

TEST_F(ServerProgram, StartUpQueuesUnfinishedMessagesAgain) {
    home.WriteFile("mail/alice/.raw/20240101120000123456.msg", "Subject: left over\r\n\r\n");
    auto process = Start();
    EXPECT_TRUE(std::filesystem::exists(home.UserPath("alice", ".spool/20240101120000123456.msg")));
    EXPECT_FALSE(std::filesystem::exists(home.UserPath("alice", ".raw/20240101120000123456.msg")));
    Stop(*process);
}
