// The named validation patterns (whole-input matches) and the 2048-byte line bound.
#include "common/validators.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

TEST(ValidateRegexedLine, KeepsLinesUpTo2048BytesAndCutsLongerOnes) {
    std::string exact(2048, 'a');
    {
        LogCapture log;
        EXPECT_EQ(ValidateRegexedLine(exact), exact);
        EXPECT_TRUE(log.Lines().empty());
    }
    LogCapture log;
    EXPECT_EQ(ValidateRegexedLine(exact + "b"), exact);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_NE(log.Lines()[0].find("WARNING ValidateRegexedLine(): input line is too long, exceeds 2048 bytes, "
                                  "truncated before further processing"),
              std::string::npos);
}

TEST(Patterns, NameAndUserMailbox) {
    EXPECT_TRUE(Matches("john_smith1", NamePattern()));
    EXPECT_TRUE(Matches(std::string(32, 'a'), NamePattern()));
    EXPECT_FALSE(Matches(std::string(33, 'a'), NamePattern()));
    EXPECT_FALSE(Matches("john.smith", NamePattern()));
    EXPECT_FALSE(Matches(".template", NamePattern()));
    EXPECT_FALSE(Matches("", NamePattern()));

    boost::smatch m;
    std::string both = "john/work";
    ASSERT_TRUE(boost::regex_match(both, m, UserMailboxPattern()));
    EXPECT_EQ(m[1].str(), "john");
    EXPECT_EQ(m[2].str(), "work");
    std::string alone = "john";
    ASSERT_TRUE(boost::regex_match(alone, m, UserMailboxPattern()));
    EXPECT_FALSE(m[2].matched);
    EXPECT_FALSE(Matches("john/", UserMailboxPattern()));
    EXPECT_FALSE(Matches("john/a/b", UserMailboxPattern()));
}

TEST(Patterns, NumbersAndHashes) {
    EXPECT_TRUE(Matches("12345678", MessageNumberPattern()));
    EXPECT_FALSE(Matches("123456789", MessageNumberPattern()));
    EXPECT_TRUE(Matches("1234567890", NumberPattern()));
    EXPECT_FALSE(Matches("12345678901", NumberPattern()));
    EXPECT_FALSE(Matches("-1", NumberPattern()));
    EXPECT_FALSE(Matches(" 1", NumberPattern()));
    EXPECT_TRUE(Matches(std::string(40, 'F'), HashPattern()));
    EXPECT_FALSE(Matches(std::string(39, 'f'), HashPattern()));
    EXPECT_FALSE(Matches(std::string(40, 'g'), HashPattern()));
}

TEST(Patterns, ParameterNamesAreWordsJoinedBySingleHyphens) {
    EXPECT_TRUE(Matches("worker-threads-per-pool", ParameterNamePattern()));
    EXPECT_TRUE(Matches("version", ParameterNamePattern()));
    EXPECT_FALSE(Matches("a--b", ParameterNamePattern()));
    EXPECT_FALSE(Matches("-a", ParameterNamePattern()));
    EXPECT_FALSE(Matches("a-", ParameterNamePattern()));
    EXPECT_FALSE(Matches("a b", ParameterNamePattern()));
}
