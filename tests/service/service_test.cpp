// The real ovrin-service with the real ovrin beside it in a temporary installed directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <boost/regex.hpp>

#include "common/socket_factory.h"
#include "service/service.h"
#include "tests/support/log_capture.h"
#include "tests/support/service_home.h"
#include "tests/support/wait.h"

using namespace OvrinTest;

namespace {

// ovrin.log must be nothing but whole lines of the server's log format, CR LF kept.
void ExpectOnlyServerLines(const std::string& log) {
    static const boost::regex line(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[[0-9a-f]{8}\\] (INFO|WARNING|ERROR|CRITICAL) [^\\r\\n]*\\r\\n");
    size_t at = 0;
    while (at < log.size()) {
        boost::smatch match;
        ASSERT_TRUE(boost::regex_search(log.cbegin() + static_cast<long>(at), log.cend(), match, line,
                                        boost::match_continuous))
            << "not a server line at byte " << at << ": " << log.substr(at, 120);
        at += static_cast<size_t>(match.length());
    }
}

bool Running(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

}  // namespace

TEST(Service, SigtermStopsTheServerInOrderBeforeTheServiceEnds) {
    ServiceHome home;
    home.Start();
    const pid_t server = home.ServerPid();
    ASSERT_TRUE(Running(server)) << home.Service().LogText();

    ASSERT_EQ(home.Stop(), std::optional<int>(0)) << home.Service().LogText();
    EXPECT_FALSE(Running(server));  // the service waited for it (and reaped it) before it ended
    const std::string log = home.ServerLog();
    EXPECT_NE(log.find("main(): Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54 started\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("main(): shutting down...\r\n"), std::string::npos) << log;
    ExpectOnlyServerLines(log);
    EXPECT_EQ(log.find("CService"), std::string::npos);  // the service's own lines go to its standard error
    EXPECT_EQ(home.Service().LogLinesWith("has exited with exit code 0").size(), 1u) << home.Service().LogText();
}

TEST(Service, TheLogKeepsEarlierRunsAndSurvivesBothKindsOfRotation) {
    ServiceHome home;
    const std::string log = home.Path() + "/ovrin.log";
    home.Server().WriteFile("ovrin.log", "left from an earlier run\r\n");
    home.Start();
    ASSERT_TRUE(WaitForControlPort()) << home.Service().LogText();
    const pid_t server = home.ServerPid();
    EXPECT_EQ(home.ServerLog().rfind("left from an earlier run\r\n", 0), 0u);
    // Each step ends with a command whose WARNING the server logs, to see where its lines go.
    auto logLine = [&](const std::string& expression) {
        EXPECT_EQ(ControlExchange("validate regex " + expression + "\r\n").value_or("").rfind("err ", 0), 0u);
        return "WARNING Regular expression " + expression + " is invalid";
    };

    // copytruncate: the next line lands at the start, after no hole.
    std::filesystem::resize_file(log, 0);
    const std::string afterTruncate = logLine("truncated(");
    ASSERT_TRUE(WaitUntil([&] { return home.ServerLog().find(afterTruncate) != std::string::npos; }));
    EXPECT_EQ(home.ServerLog().find('\0'), std::string::npos);
    ExpectOnlyServerLines(home.ServerLog());

    // rename, then SIGHUP: later lines go to a new file under the name, the server runs on.
    std::filesystem::rename(log, log + ".1");
    home.Service().Signal(SIGHUP);
    ASSERT_TRUE(home.Service().WaitForLog("SIGHUP received, ovrin.log reopened")) << home.Service().LogText();
    const std::string afterRename = logLine("renamed(");
    ASSERT_TRUE(WaitUntil([&] { return home.ServerLog().find(afterRename) != std::string::npos; }));
    EXPECT_EQ(ReadWholeFile(log + ".1").find(afterRename), std::string::npos);
    EXPECT_TRUE(Running(server));
    EXPECT_EQ(home.ServerPid(), server);
    struct stat info {};
    ASSERT_EQ(::stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    ASSERT_EQ(home.Stop(), std::optional<int>(0)) << home.Service().LogText();
    ExpectOnlyServerLines(home.ServerLog());
}

TEST(Service, AControlPortHeldByAnotherProgramFailsTheStart) {
    ServiceHome home;
    Ovrin::CServerSocketFactory holder(Ovrin::CInternetAddress("127.0.0.1"),
                                       Ovrin::CInternetPort(kControlPort, Ovrin::CInternetPort::TCP),
                                       Ovrin::CInternetAddress("127.0.0.1"), Ovrin::CInternetPort(0, Ovrin::CInternetPort::TCP));
    home.Server().WriteConfig();
    OvrinProcess service({}, "/", home.ServicePath());
    EXPECT_EQ(service.WaitForExit(), std::optional<int>(1));
    EXPECT_FALSE(service.LogLinesWith("ERROR CService::Initialise(): ").empty()) << service.LogText();
    EXPECT_TRUE(service.LogLinesWith("CService: started").empty()) << service.LogText();
}

TEST(Service, AStoppedServerDoesNotKeepTheStopFromEnding) {
    ServiceHome home;
    home.Start();
    const pid_t server = home.ServerPid();
    ASSERT_TRUE(Running(server)) << home.Service().LogText();
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    home.Service().Signal(SIGTERM);
    const auto bound = Ovrin::CService::kStopWait + Ovrin::CService::kTerminateWait + std::chrono::seconds(20);
    EXPECT_EQ(home.Service().WaitForExit(bound), std::optional<int>(0)) << home.Service().LogText();
    EXPECT_FALSE(Running(server));
    for (const char* escalation : {"has not exited 30 s after \"stop\"; sending SIGTERM",
                                   "has not exited 5 s after SIGTERM; sending SIGKILL"})
        EXPECT_EQ(home.Service().LogLinesWith(escalation).size(), 1u) << home.Service().LogText();
}

TEST(Service, AServerThatCannotStartEndsTheServiceWithFailure) {
    ServiceHome home;
    std::filesystem::remove(home.Path() + "/ovrin");
    OvrinProcess service({}, "/", home.ServicePath());
    EXPECT_EQ(service.WaitForExit(), std::optional<int>(1));
    EXPECT_FALSE(service.LogLinesWith("CreateProcess() failed").empty()) << service.LogText();
}

TEST(Service, AServerKilledWithSigkillIsStartedAgainIntoTheSameLog) {
    ServiceHome home;
    home.Start();
    const pid_t first = home.ServerPid();
    ASSERT_TRUE(Running(first)) << home.Service().LogText();
    ASSERT_EQ(::kill(first, SIGKILL), 0);

    ASSERT_TRUE(WaitUntil([&] { return home.ServerStarts() == 2; }, std::chrono::seconds(10)))
        << home.Service().LogText();
    const pid_t second = home.ServerPid();
    EXPECT_NE(second, first);
    EXPECT_TRUE(Running(second));
    EXPECT_EQ(home.Service()
                  .LogLinesWith("WARNING CService: the server 'ovrin' (process " + std::to_string(first) +
                                ") exited on its own with exit code 137 after ")
                  .size(),
              1u) << home.Service().LogText();
    EXPECT_EQ(home.Service().LogLinesWith("starting it again in 1 s").size(), 1u);
    const std::string started = "main(): Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54 started\r\n";
    EXPECT_TRUE(WaitUntil([&] {
        const std::string log = home.ServerLog();
        return log.find(started) != log.rfind(started);
    })) << home.ServerLog();

    ASSERT_EQ(home.Stop(), std::optional<int>(0));
    EXPECT_FALSE(Running(second));
    const std::string log = home.ServerLog();
    // Both runs in one file, the first one's lines before the second one's.
    EXPECT_LT(log.find(started), log.rfind(started));
    EXPECT_NE(log.find("main(): shutting down...\r\n", log.rfind(started)), std::string::npos);
    EXPECT_EQ(log.find("CService"), std::string::npos);
    ExpectOnlyServerLines(log);
}
