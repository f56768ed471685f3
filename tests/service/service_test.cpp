// The real ovrin-service with the real ovrin beside it in a temporary installed directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/regex.hpp>

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

TEST(Service, CreatesTheLogAnewAtEachStart) {
    ServiceHome home;
    home.Server().WriteFile("ovrin.log", "left from an earlier run\r\n");
    home.Start();
    ASSERT_EQ(home.Stop(), std::optional<int>(0));
    const std::string log = home.ServerLog();
    EXPECT_EQ(log.find("left from an earlier run"), std::string::npos);
    ExpectOnlyServerLines(log);
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
