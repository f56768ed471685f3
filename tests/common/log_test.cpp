// The logger's line format, its whole-line writes under concurrency, and Critical.
#include "common/log.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <thread>

#include "common/format.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

namespace {

const boost::regex kLine(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[([0-9a-f]{8})\] (INFO|WARNING|ERROR|CRITICAL) (.*))");

}  // namespace

TEST(Logger, WritesTheFullLineFormatEndedByCrLf) {
    testing::internal::CaptureStderr();
    Logger().Info("hello %d %s", 42, "world");
    std::string raw = testing::internal::GetCapturedStderr();
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
    std::string line = raw.substr(0, raw.size() - 2);
    boost::smatch m;
    ASSERT_TRUE(boost::regex_match(line, m, kLine)) << line;
    EXPECT_EQ(m[8].str(), Format("%08x", static_cast<unsigned>(::syscall(SYS_gettid))));
    EXPECT_EQ(m[9].str(), "INFO");
    EXPECT_EQ(m[10].str(), "hello 42 world");
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(std::stoi(m[1].str()), local.tm_year + 1900);
    EXPECT_EQ(std::stoi(m[2].str()), local.tm_mon + 1);
}

TEST(Logger, NamesEachLevel) {
    LogCapture log;
    Logger().Info("i");
    Logger().Warning("w");
    Logger().Error("e");
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_NE(log.Lines()[0].find("] INFO i"), std::string::npos);
    EXPECT_NE(log.Lines()[1].find("] WARNING w"), std::string::npos);
    EXPECT_NE(log.Lines()[2].find("] ERROR e"), std::string::npos);
}

TEST(Logger, ControlBytesBecomeBlanksSoALineNeverSplits) {
    LogCapture log;
    Logger().Info("a\r\nb\tc");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].substr(log.Lines()[0].find("INFO ")), "INFO a  b c");
}

TEST(Logger, LongMessagesAreWrittenWhole) {
    std::string text(300, 'x');
    std::string huge(100000, 'y');
    LogCapture log;
    Logger().Info("%s", text.c_str());
    Logger().Error("%s", huge.c_str());
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[0].substr(log.Lines()[0].size() - 301), " " + text);
    EXPECT_EQ(log.Lines()[1].substr(log.Lines()[1].size() - huge.size()), huge);
}

TEST(Logger, ConcurrentThreadsNeverMixLines) {
    constexpr int kThreads = 4, kLines = 300;
    LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::string body(200 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                Logger().Info("%d:%s:end", t, body.c_str());
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(log.Lines().size(), static_cast<size_t>(kThreads * kLines));
    int counts[kThreads] = {};
    for (const auto& line : log.Lines()) {
        boost::smatch m;
        ASSERT_TRUE(boost::regex_match(line, m, kLine)) << line;
        std::string message = m[10].str();
        int t = message[0] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << message;
        EXPECT_EQ(message, Format("%d:%s:end", t, std::string(200 + t, static_cast<char>('a' + t)).c_str()));
        ++counts[t];
    }
    for (int count : counts)
        EXPECT_EQ(count, kLines);
}

TEST(LoggerDeathTest, CriticalWritesItsLineAndEndsTheProcess) {
    EXPECT_DEATH(Logger().Critical("the end %d", 7), R"(\] CRITICAL the end 7)");
}

TEST(LoggerDeathTest, CriticalFromAnotherThreadEndsTheProcess) {
    EXPECT_DEATH(std::thread([] { Logger().Critical("from a thread"); }).join(), "CRITICAL from a thread");
}
