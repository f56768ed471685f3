// The operation trace: label and reason at ERROR, the very same exception rethrown, and the
// forms that contain a failure or end the process.
#include "common/trace.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/exception.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

namespace {

int Inner(int value) {
    return Traced([&]() -> int { throw CMessageException("bad value %d", value); }, "Inner(%d)", value);
}

int Outer(const char* name) {
    return Traced([&] { return Inner(7); }, "Outer('%s')", name);
}

}  // namespace

TEST(Trace, ReturnsTheBodysValueAndLogsNothingOnSuccess) {
    LogCapture log;
    EXPECT_EQ(Traced([] { return 5; }, "Five()"), 5);
    std::string text = Traced([] { return std::string("x"); }, "Text(%d)", 1);
    EXPECT_EQ(text, "x");
    EXPECT_TRUE(log.Lines().empty());
}

TEST(Trace, LogsEachLevelOfTheFailurePathWithTheUnprefixedReason) {
    LogCapture log;
    try {
        Outer("box");
        FAIL() << "no exception";
    } catch (const CMessageException& e) {
        EXPECT_STREQ(e.what(), "bad value 7");
    }
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_NE(log.Lines()[0].find("] ERROR Inner(7): bad value 7"), std::string::npos) << log.Lines()[0];
    EXPECT_NE(log.Lines()[1].find("] ERROR Outer('box'): bad value 7"), std::string::npos) << log.Lines()[1];
}

TEST(Trace, RethrowsTheVerySameObject) {
    CMessageException original("original");
    const void* seen = nullptr;
    LogCapture log;
    try {
        Traced([&] { throw &original; }, "Pointer()");
    } catch (CMessageException* e) {
        seen = e;
    }
    EXPECT_EQ(seen, &original);
    EXPECT_EQ(log.LinesWith("Pointer(): Unknown exception").size(), 1u);

    struct Marked : std::runtime_error {
        Marked() : std::runtime_error("marked") {}
        const void* self = this;
    };
    try {
        Traced([] { throw Marked(); }, "Marked()");
    } catch (const Marked& e) {
        EXPECT_EQ(e.self, &e);  // not sliced, not copied into another type
    }
}

TEST(Trace, ForeignExceptionsAreLoggedAsUnknownAndPassUnchanged) {
    LogCapture log;
    EXPECT_THROW(Traced([] { throw 42; }, "Foreign(%s)", "x"), int);
    EXPECT_THROW(Traced([] { throw std::out_of_range("range"); }, "Std()"), std::out_of_range);
    EXPECT_EQ(log.LinesWith("ERROR Foreign(x): Unknown exception").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR Std(): range").size(), 1u);
}

TEST(Trace, LabelAndLineAreCutTo4095Characters) {
    std::string longArgument(5000, 'a');
    LogCapture log;
    EXPECT_THROW(Traced([] { throw CMessageException("r"); }, "L('%s')", longArgument.c_str()), CMessageException);
    ASSERT_EQ(log.Lines().size(), 1u);
    const std::string& line = log.Lines()[0];
    std::string message = line.substr(line.find("ERROR ") + 6);
    EXPECT_EQ(message.size(), 4095u);
    EXPECT_EQ(message, "L('" + std::string(4092, 'a'));
}

TEST(Trace, ContainedLogsAndCarriesOn) {
    LogCapture log;
    EXPECT_TRUE(Contained([] {}, "Fine()"));
    EXPECT_FALSE(Contained([] { throw CMessageException("gone"); }, "Loop(%u)", 3u));
    EXPECT_EQ(log.LinesWith("ERROR Loop(3): gone").size(), 1u);
}

TEST(TraceDeathTest, TheFatalFormLogsCriticalAndEndsTheProcess) {
    EXPECT_DEATH(TracedFatal([] { throw CMessageException("broken"); }, "Machinery(%d)", 1),
                 R"(CRITICAL Machinery\(1\): broken)");
}
