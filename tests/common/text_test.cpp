// Text helpers: trimming, replacing, escaping, times, Base64 and the 32-bit conversions.
#include "common/text.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include "common/exception.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

TEST(Format, GrowsPastTheFirstBuffer) {
    std::string long_text(1000, 'x');
    EXPECT_EQ(Format("<%s>", long_text.c_str()), "<" + long_text + ">");
    EXPECT_EQ(Format("%d-%s", 7, "a"), "7-a");
    std::string exactly255(255, 'y');  // one short of the first buffer: needs a doubling
    EXPECT_EQ(Format("%s", exactly255.c_str()), exactly255);
}

TEST(Trim, RemovesBlanksTabsAndLineEndsAtBothEnds) {
    EXPECT_EQ(Trim(" \t\r\n \n"), "");
    EXPECT_EQ(Trim("  a b "), "a b");
    EXPECT_EQ(Trim("\r\nx\t"), "x");
    EXPECT_EQ(Trim(""), "");
}

TEST(CaseFolding, IsBytewiseAndStopsAtNul) {
    EXPECT_EQ(ToLower("Subject-ABC"), "subject-abc");
    EXPECT_EQ(ToUpper("x-ovrin-1"), "X-OVRIN-1");
    EXPECT_EQ(ToLower(std::string("AB\0CD", 5)), "ab");
}

TEST(Replace, ScansLeftToRightWithoutOverlap) {
    EXPECT_EQ(Replace("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(Replace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(Replace("a.b.c", ".", ".."), "a..b..c");
    EXPECT_EQ(Replace("none", "x", "y"), "none");
    LogCapture log;
    EXPECT_THROW(Replace("text", "", "y"), CMessageException);
    EXPECT_EQ(log.LinesWith("Replace('text', '', 'y'): ").size(), 1u);
}

TEST(Escaping, EscapeRegexEscapesTheFourteenCharacters) {
    EXPECT_EQ(EscapeRegex(".|*?+(){}[]^$\\"), "\\.\\|\\*\\?\\+\\(\\)\\{\\}\\[\\]\\^\\$\\\\");
    EXPECT_EQ(EscapeRegex("a-b/c#d"), "a-b/c#d");
}

TEST(Escaping, EscapeRegexWritesControlAndHighBytesAsHexAndMatchesExactlyTheOriginal) {
    const std::string values[] = {"\xe9t\xe9",    "caf\xc3\xa9 (x)", std::string("a\0b", 3),
                                  "tab\there\r\n", "\x7f\xff" "9",     "\x80" "A"};
    for (const std::string& value : values) {
        const std::string escaped = EscapeRegex(value);
        SCOPED_TRACE(escaped);
        // Printable ASCII only: nothing for the XML file to change.
        for (char c : escaped)
            EXPECT_TRUE(c >= 0x20 && c < 0x7f);
        const boost::regex pattern("^" + escaped + "$", boost::regex::perl);
        EXPECT_TRUE(boost::regex_match(value, pattern));
        EXPECT_FALSE(boost::regex_match(value + "x", pattern));
    }
    EXPECT_EQ(EscapeRegex("\xe9."), "\\xE9\\.");
}

TEST(Escaping, EscapePythonEscapesBothQuotesAndWritesTheRestAboveAsciiAsEscapes) {
    EXPECT_EQ(EscapePython("a\\b\"c'd"), "a\\\\b\\\"c\\'d");
    EXPECT_EQ(EscapePython("\n\x01"), "\\x0a\\x01");
    EXPECT_EQ(EscapePython("caf\xc3\xa9 \xe9"), "caf\\u00e9 \\udce9");
    EXPECT_EQ(EscapePython("\xf0\x9f\x98\x80"), "\\U0001f600");
    // Not well-formed UTF-8 (truncated, overlong, an encoded surrogate): byte by byte.
    EXPECT_EQ(EscapePython("\xe2\x82" "A\xc0\xaf\xed\xa0\x80"),
              "\\udce2\\udc82A\\udcc0\\udcaf\\udced\\udca0\\udc80");
}

TEST(ReplaceControlCharacters, KeepsLineEndsAndTabsUnlessAll) {
    std::string text = std::string("a\r\n\tb\x01\x1f ") + '\x7f' + '\xe9';
    EXPECT_EQ(ReplaceControlCharacters(text, true), std::string("a   b   ") + '\x7f' + '\xe9');
    EXPECT_EQ(ReplaceControlCharacters(text, false), std::string("a\r\n\tb   ") + '\x7f' + '\xe9');
}

TEST(Times, StringToTimeRoundTripsThroughTimeToString) {
    time_t latest = StringToTime("2037-12-31 23:59:59");
    EXPECT_EQ(TimeToString(latest), "2037-12-31 23:59:59");
    EXPECT_EQ(TimeToString(StringToTime("2000-01-01 00:00:00")), "2000-01-01 00:00:00");
    EXPECT_EQ(StringToTime("2024-03-01 10:00:01") - StringToTime("2024-03-01 10:00:00"), 1);
}

TEST(Times, StringToTimeRejectsBadDates) {
    for (const char* bad : {"2038-01-01 00:00:00", "2024-13-01 00:00:00", "2024-01-01 24:00:00",
                            "2024-1-01 00:00:00", "2024-01-01  00:00:00", "1999-12-31 23:59:59", ""}) {
        LogCapture log;
        try {
            StringToTime(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid date/time value: ") + bad);
        }
        EXPECT_EQ(log.LinesWith(std::string("StringToTime('") + bad + "'): Invalid").size(), 1u);
    }
}

TEST(DecodeBASE64, DecodesLeniently) {
    EXPECT_EQ(DecodeBASE64("YWJj"), "abc");
    EXPECT_EQ(DecodeBASE64("YW Jj"), "abc");
    EXPECT_EQ(DecodeBASE64("YW\r\nJj"), "abc");
    EXPECT_EQ(DecodeBASE64("YQ=="), "a");
    EXPECT_EQ(DecodeBASE64("YWI="), "ab");
    EXPECT_EQ(DecodeBASE64("YQ="), "");
    EXPECT_EQ(DecodeBASE64("Y==="), "");
    EXPECT_EQ(DecodeBASE64(""), "");
    EXPECT_EQ(DecodeBASE64("!!!!"), "");
    EXPECT_EQ(DecodeBASE64(std::string("YWJj\0YWJj", 9)), "abc");  // NUL ends the input
    EXPECT_EQ(DecodeBASE64("cGFzc3dvcmQ="), "password");
}

TEST(EncodeBASE64, PadsWithEqualsAndDecodesBack) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"password", "cGFzc3dvcmQ="},
        {std::string("\xff\xfe\0/", 4), "//4ALw=="}};
    for (const auto& [bytes, encoded] : cases) {
        EXPECT_EQ(EncodeBASE64(bytes), encoded);
        EXPECT_EQ(DecodeBASE64(encoded), bytes);
    }
}

TEST(AtoI, BehavesLikeTheCLibraryWithin32Bits) {
    EXPECT_EQ(AtoI("42"), 42);
    EXPECT_EQ(AtoI("  -7x"), -7);
    EXPECT_EQ(AtoI("+5"), 5);
    EXPECT_EQ(AtoI("abc"), 0);
    EXPECT_EQ(AtoI(""), 0);
    EXPECT_EQ(AtoI("99999999999"), INT32_MAX);
    EXPECT_EQ(AtoI("-99999999999"), INT32_MIN);
    EXPECT_EQ(AtoL("2147483647"), INT32_MAX);
}
