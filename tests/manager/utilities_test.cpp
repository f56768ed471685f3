// The manager's small utilities: splitting, environment expansion, listings, GUIDs, SHA-1, the
// server's regex dialect and the process runner.
#include <filesystem>

#include <gtest/gtest.h>

#include "manager/globals.h"
#include "manager/header_words.h"
#include "manager/process.h"
#include "manager/regex_match.h"
#include "manager/sha1.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(SplitAt, SplitsAtTheFirstSeparatorIgnoringCase) {
    struct {
        const char* text;
        const char* separator;
        const char* head;
        const char* tail;
    } cases[] = {
        {" a \r\n b \r\n c", "\r\n", "a", "b \r\n c"},
        {"Name AND value", "and", "Name", "value"},
        {"  no separator  ", "|", "  no separator  ", ""},
        {"|tail", "|", "", "tail"},
        {"line\x01\r\n", "\r\n", "line", ""},
    };
    for (const auto& c : cases) {
        std::string head = "x", tail = "y";
        Ovrin::SplitAt(c.text, c.separator, head, tail);
        EXPECT_EQ(head, c.head) << c.text;
        EXPECT_EQ(tail, c.tail) << c.text;
    }
}

TEST(ExpandEnvironment, ExpandsReferencesAndFailsEmpty) {
    setenv("OVRIN_TEST_VALUE", "/some/where", 1);
    unsetenv("OVRIN_TEST_MISSING");
    EXPECT_EQ(Ovrin::ExpandEnvironment("%OVRIN_TEST_VALUE%/bin and %%"), "/some/where/bin and %");
    EXPECT_EQ(Ovrin::ExpandEnvironment("plain"), "plain");
    EXPECT_EQ(Ovrin::ExpandEnvironment("%OVRIN_TEST_MISSING%"), "");
    EXPECT_EQ(Ovrin::ExpandEnvironment("%OVRIN_TEST_VALUE"), "");
}

TEST(StringArray, CopiesTextsAndRefusesOthers) {
    EXPECT_EQ(Ovrin::StringArray({QString("Refresh"), QString("Delete")}), (Ovrin::TStringArray{"Refresh", "Delete"}));
    try {
        Ovrin::StringArray({QString("Refresh"), 42});
        FAIL() << "accepted a number";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "StringArray expects input to be an array of strings");
    }
}

TEST(Listings, NameMatchingFilesAndDirectories) {
    OvrinTest::TempDir dir;
    OvrinTest::WriteWholeFile(dir / "a.msg", "");
    OvrinTest::WriteWholeFile(dir / "B.MSG", "");
    OvrinTest::WriteWholeFile(dir / "c.txt", "");
    std::filesystem::create_directory(dir / "inbox");
    std::filesystem::create_directory(dir / ".spool");
    auto files = Ovrin::ListFiles("*.msg", dir.Path());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (Ovrin::TStringArray{"B.MSG", "a.msg"}));
    auto dirs = Ovrin::ListDirectories("*", dir.Path());
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(dirs, (Ovrin::TStringArray{".spool", "inbox"}));
    EXPECT_TRUE(Ovrin::ListFiles("*", dir / "missing").empty());
}

TEST(NewGuidString, IsLowerCaseWithoutBraces) {
    std::string a = Ovrin::NewGuidString(), b = Ovrin::NewGuidString();
    EXPECT_TRUE(Ovrin::RegexMatch("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}", a)) << a;
    EXPECT_NE(a, b);
}

TEST(SHA1, DigestsAndSelfTest) {
    EXPECT_EQ(Ovrin::SHA1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Ovrin::SHA1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_NO_THROW(Ovrin::SHA1SelfTest());
}

TEST(RegexMatch, UsesTheServersDialectOnTheWholeText) {
    EXPECT_TRUE(Ovrin::RegexMatch("[[:word:]]{1,32}", "user_1"));
    EXPECT_FALSE(Ovrin::RegexMatch("[[:word:]]{1,32}", "user 1"));  // whole text, not a part
    EXPECT_TRUE(Ovrin::RegexMatch("(?i)spam\\d+", "SPAM42"));
    try {
        Ovrin::RegexMatch("(unbalanced", "x");
        FAIL() << "accepted an invalid pattern";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Invalid regex: (unbalanced");
    }
}

TEST(ExecuteAndWait, RunsInTheDirectoryAndReturnsTheExitCode) {
    OvrinTest::TempDir dir;
    EXPECT_EQ(Ovrin::ExecuteAndWait("touch here; exit 3", dir.Path()), 3);
    EXPECT_TRUE(std::filesystem::exists(dir / "here"));
    EXPECT_NE(Ovrin::ExecuteAndWait("true", dir / "missing"), 0);
}

TEST(DecodeHeaderValue, DecodesEncodedWordsAndLeavesBrokenOnesAlone) {
    const struct {
        const char* raw;
        const char* shown;  // UTF-8
    } cases[] = {
        {"=?UTF-8?B?QnVkZ2V0IOKCrA==?=", "Budget \u20ac"},
        {"=?iso-8859-1?q?caf=E9_?= au lait", "caf\u00e9  au lait"},
        {"=?UTF-8?Q?a?= \t =?UTF-8?Q?b?=", "ab"},  // blanks between encoded words go
        {"plain =?US-ASCII?Q?x?= end", "plain x end"},
        {"=?UTF-8?Q?bad=ZZ?=", "=?UTF-8?Q?bad=ZZ?="},
        {"=?UTF-8?B?!!!?=", "=?UTF-8?B?!!!?="},
        {"=?UTF-8?Q?with space?=", "=?UTF-8?Q?with space?="},
        {"=?UTF-8?X?x?=", "=?UTF-8?X?x?="},
        {"=?UTF-8?Q?unterminated", "=?UTF-8?Q?unterminated"},
        {"Gr\xfc\xdf", "Gr\u00fc\u00df"},  // raw Latin-1
        {"Gr\xc3\xbc\xc3\x9f", "Gr\u00fc\u00df"},  // raw UTF-8
    };
    for (const auto& c : cases)
        EXPECT_EQ(Ovrin::DecodeHeaderValue(c.raw).toStdString(), c.shown) << c.raw;
}

}  // namespace
