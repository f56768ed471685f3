// The message header: unfolding, the x-ovrin- guard, the derived parsed and mailbox fields,
// macro substitution and the dictionary for rule scripts.
#include "server/message/message_header.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

namespace {

std::vector<std::string> Values(const CMessageHeader& header, const std::string& name) {
    std::vector<std::string> values;
    for (unsigned i = 0; i < header.GetValueCount(name); ++i)
        values.push_back(header.GetValue(name, i));
    return values;
}

// The message of the exception the constructor throws, or "" when it throws none.
std::string ConstructionError(const std::string& buffer) {
    try {
        CMessageHeader header(buffer);
    } catch (const CMessageException& e) {
        return e.what();
    }
    return "";
}

using Strings = std::vector<std::string>;
using namespace std::string_literals;

}  // namespace

TEST(HeaderUnfolding, ContinuationIsJoinedWithOneBlank) {
    CMessageHeader header("Subject: a\r\n\t  b\r\n");
    EXPECT_EQ(Values(header, "subject"), Strings{"a b"});
    EXPECT_EQ(Values(header, "x-ovrin-parsed-subject"), Strings{"a b"});
    EXPECT_EQ(Values(header, "x-ovrin-quoted-header"), Strings{"> Subject: a b\n"});
}

TEST(HeaderUnfolding, BlankOnlyContinuationAddsNothing) {
    CMessageHeader header("Subject: a\r\n \t \r\nTo: b@h\r\n");
    EXPECT_EQ(Values(header, "subject"), Strings{"a"});
    EXPECT_EQ(header.GetValue("x-ovrin-quoted-header", 0), "> Subject: a\n> To: b@h\n");
}

TEST(HeaderUnfolding, RejectsAFoldOnTheFirstLine) {
    EXPECT_EQ(ConstructionError("\tSubject: a\r\n"), "Header may not begin with folding whitespace");
    EXPECT_EQ(ConstructionError(" \r\nSubject: a\r\n"), "Header may not begin with folding whitespace");
}

TEST(HeaderUnfolding, RejectsAMissingFinalCrlfWithoutLoggingTheLines) {
    EXPECT_EQ(ConstructionError("Subject: a"), "Unexpected buffer format: no trailing CRLF found");
    EXPECT_EQ(ConstructionError("Subject: a\r\nTo: b\n"), "Unexpected buffer format: no trailing CRLF found");
    LogCapture log;
    EXPECT_NE(ConstructionError("From: ann@\r\nTo: x@h"), "");
    EXPECT_TRUE(log.LinesWith("Invalid 'from' header field").empty()) << "a rejected header stores nothing";
    EXPECT_EQ(log.LinesWith("Unexpected buffer format: no trailing CRLF found").size(), 1u);
}

TEST(HeaderUnfolding, EmptyBufferGivesAnEmptyHeader) {
    CMessageHeader header("");
    CHeaderDictionary dictionary;
    header.DumpToPythonDictionary(dictionary);
    EXPECT_TRUE(dictionary.strings.empty());
    EXPECT_TRUE(dictionary.integers.empty());
}

TEST(HeaderUnfolding, EmptyLinesAreNeitherStoredNorQuoted) {
    CMessageHeader header("A: 1\r\n\r\nB: 2\r\n\r\n");
    EXPECT_EQ(header.GetValue("x-ovrin-quoted-header", 0), "> A: 1\n> B: 2\n");
    EXPECT_EQ(header.GetValueCount(""), 0u);
    EXPECT_EQ(header.GetValue("b", 0), "2");
}

TEST(HeaderUnfolding, NamesAreLowerCasedAndValuesTrimmed) {
    CMessageHeader header("SuBjEcT:  \t Hello  World \t\r\nX-Weird :a:b\r\nno colon here\r\n");
    EXPECT_EQ(Values(header, "subject"), Strings{"Hello  World"});
    EXPECT_EQ(Values(header, "SUBJECT"), Strings{"Hello  World"});
    EXPECT_EQ(Values(header, "x-weird"), Strings{"a:b"});
    EXPECT_EQ(Values(header, "no colon here"), Strings{""});
}

// Found by fuzzing: case folding ends a name at a NUL, so a line that starts with one is stored
// under the empty name, which a macro never looks up.
TEST(HeaderUnfolding, NameCutAtANulIsEmptyAndNoMacroReadsIt) {
    CMessageHeader header("\0c: \"o\0e <x@y>\r\nFrom\0x: a@h\r\n"s);
    EXPECT_EQ(header.GetValueCount(""), 1u);
    EXPECT_EQ(header.Apply("[{{}}]"), "[]");
    EXPECT_EQ(header.Apply("[{{|}}]"), "[]");
    EXPECT_EQ(Values(header, "x-ovrin-parsed-from-mailbox"), Strings{"a@h"});
}

TEST(HeaderUnfolding, RepeatedFieldsKeepMessageOrder) {
    CMessageHeader header("Received: from a\r\nSubject: s\r\nReceived: from b\r\n (c)\r\n");
    EXPECT_EQ(Values(header, "received"), (Strings{"from a", "from b (c)"}));
    EXPECT_EQ(Values(header, "x-ovrin-parsed-received"), (Strings{"from a", "from b {c}"}));
}

TEST(ServerFieldGuard, MessageCannotBringServerFieldsButTheyStayQuoted) {
    CMessageHeader header("X-Ovrin-Training-Mailbox: inbox\r\n x-ovrin-username:  root\r\nSubject: s\r\n");
    EXPECT_EQ(header.GetValueCount("x-ovrin-training-mailbox"), 0u);
    EXPECT_EQ(header.GetValueCount("x-ovrin-parsed-x-ovrin-training-mailbox"), 0u);
    EXPECT_EQ(header.GetValueCount("x-ovrin-username"), 0u);
    EXPECT_EQ(header.GetValue("x-ovrin-quoted-header", 0),
              "> X-Ovrin-Training-Mailbox: inbox x-ovrin-username:  root\n> Subject: s\n");
    header.AddLine("  X-OVRIN-MESSAGE-ID: 1");
    EXPECT_EQ(header.GetValueCount("x-ovrin-message-id"), 0u);
}

TEST(ServerFieldGuard, MessageCannotAddToTheParsedMailboxes) {
    CMessageHeader header("From-Mailbox: boss@bank\r\nFrom: Eve <eve@evil>\r\nCC-mailbox: x@y\r\n");
    EXPECT_EQ(Values(header, "x-ovrin-parsed-from-mailbox"), Strings{"eve@evil"});
    EXPECT_EQ(header.GetValueCount("x-ovrin-parsed-cc-mailbox"), 0u);
    EXPECT_EQ(Values(header, "from-mailbox"), Strings{"boss@bank"}) << "the field itself is kept";
}

TEST(DerivedFields, EveryMailboxOfAnAddressFieldInOrder) {
    CMessageHeader header("From: Ann <a@h>, b@[1.2.3.4]\r\n"
                          "To: G: \"c d\"@h, e@h;, f@h\r\n"
                          "Sender: s@h\r\nReply-To: r@h\r\nCc: c@h\r\n");
    EXPECT_EQ(Values(header, "x-ovrin-parsed-from-mailbox"), (Strings{"a@h", "b@1.2.3.4"}));
    EXPECT_EQ(Values(header, "x-ovrin-parsed-to-mailbox"), (Strings{"c d@h", "e@h", "f@h"}));
    EXPECT_EQ(Values(header, "x-ovrin-parsed-sender-mailbox"), Strings{"s@h"});
    EXPECT_EQ(Values(header, "x-ovrin-parsed-reply-to-mailbox"), Strings{"r@h"});
    EXPECT_EQ(Values(header, "x-ovrin-parsed-cc-mailbox"), Strings{"c@h"});
    EXPECT_EQ(header.GetValue("x-ovrin-parsed-from", 0),
              "mailbox-list(mailbox(display-name(Ann)local-part(a)domain(h))mailbox(local-part(b)domain(1.2.3.4)))");
}

TEST(DerivedFields, ParenthesesInMailboxesAppearAsBraces) {
    CMessageHeader header("From: \"a(b)\"@[x(y)]\r\n");
    EXPECT_EQ(Values(header, "x-ovrin-parsed-from-mailbox"), Strings{"a{b}@x{y}"});
}

TEST(DerivedFields, OnlyTheFiveAddressFieldsGiveMailboxes) {
    CMessageHeader header("Bcc: a@h\r\nResent-From: b@h\r\n");
    EXPECT_EQ(header.GetValueCount("x-ovrin-parsed-bcc-mailbox"), 0u);
    EXPECT_EQ(header.GetValueCount("x-ovrin-parsed-resent-from-mailbox"), 0u);
    EXPECT_EQ(Values(header, "x-ovrin-parsed-bcc"), Strings{"a@h"});
}

TEST(DerivedFields, UnparsableAddressLogsOneWarningAndGivesEmptyParsedValue) {
    LogCapture log;
    CMessageHeader header("From: ann@\r\n");
    EXPECT_EQ(Values(header, "from"), Strings{"ann@"});
    EXPECT_EQ(Values(header, "x-ovrin-parsed-from"), Strings{""});
    EXPECT_EQ(header.GetValueCount("x-ovrin-parsed-from-mailbox"), 0u);
    auto warnings = log.LinesWith("WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("CMessageHeader::AddLine('From: ann@'): Invalid 'from' header field: 'ann@', "
                               "parsing error: 'Empty domain at: ', parsed value is set to empty string"),
              std::string::npos)
        << warnings[0];
}

TEST(DerivedFields, EmptyAddressValueIsNoError) {
    LogCapture log;
    CMessageHeader header("To:   \r\n");
    EXPECT_EQ(Values(header, "x-ovrin-parsed-to"), Strings{""});
    EXPECT_TRUE(log.LinesWith("WARNING").empty());
}

TEST(HeaderValues, LookupIsCaseInsensitiveAndOutOfRangeIsEmpty) {
    CMessageHeader header;
    header.AddValue("X-Ovrin-Username", "ann");
    header.AddValue("x-ovrin-username", "bob");
    EXPECT_EQ(header.GetValueCount("X-OVRIN-USERNAME"), 2u);
    EXPECT_EQ(header.GetValue("x-ovrin-username", 1), "bob");
    EXPECT_EQ(header.GetValue("x-ovrin-username", 2), "");
    EXPECT_EQ(header.GetValue("absent", 0), "");
    EXPECT_EQ(header.GetValueCount("absent"), 0u);
}

TEST(Apply, TextWithoutMacrosIsUnchanged) {
    CMessageHeader header;
    EXPECT_EQ(header.Apply(""), "");
    EXPECT_EQ(header.Apply("plain { text } with {single} braces"), "plain { text } with {single} braces");
}

TEST(Apply, MissingFieldGivesEmptyText) {
    CMessageHeader header;
    EXPECT_EQ(header.Apply("a {{x}} b"), "a  b");
    EXPECT_EQ(header.Apply("{{}}"), "");
}

TEST(Apply, FirstNonEmptyValueOfTheAlternatives) {
    CMessageHeader header("A:\r\nB: 1\r\nReceived:\r\nReceived: second\r\nFrom: f@h\r\n");
    EXPECT_EQ(header.Apply("{{a|b}}"), "1");
    EXPECT_EQ(header.Apply("{{||A||B}}"), "1") << "empty names are skipped, case does not matter";
    EXPECT_EQ(header.Apply("{{ b}}"), "") << "names are not trimmed";
    EXPECT_EQ(header.Apply("{{received}}"), "second") << "later values of one field are tried too";
    EXPECT_EQ(header.Apply("<{{reply-to|from}}>{{b}}{{b}}"), "<f@h>11");
    EXPECT_EQ(header.Apply("{{{b}}}"), "}") << "the name is '{b'; the third brace is text";
}

TEST(Apply, TransformationAppliesToSubstitutedValuesOnly) {
    CMessageHeader header;
    header.AddValue("host", "a.b");
    header.AddValue("quote", "say \"x\\y\"");
    EXPECT_EQ(header.Apply("^.*@{{host}}$", EscapeRegex), "^.*@a\\.b$");
    EXPECT_EQ(header.Apply("s = \"{{quote}}\"", EscapePython), "s = \"say \\\"x\\\\y\\\"\"");
    EXPECT_EQ(header.Apply("{{host}}", nullptr), "a.b");
}

TEST(Apply, MismatchedMarkersFailWithTheWholeText) {
    CMessageHeader header;
    LogCapture log;
    for (std::string text : {"a }} b {{x}}", "only }}", "only {{ x", "{{x}} then {{"}) {
        try {
            header.Apply(text, EscapeRegex);
            ADD_FAILURE() << text;
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), "Mismatched substitution parentheses {{...}} in '" + text + "'");
        }
    }
    EXPECT_EQ(log.LinesWith("CMessageHeader::Apply('only }}', 0x").size(), 1u);
}

TEST(Apply, NestedMarkersFail) {
    CMessageHeader header;
    try {
        header.Apply("x {{a{{b}} }}");
        ADD_FAILURE();
    } catch (const CMessageException& e) {
        EXPECT_EQ(std::string(e.what()), "Nested substitution parentheses {{...}} in 'x {{a{{b}} }}'");
    }
}

TEST(Apply, ContainsApplicableMacrosWantsBothMarkersInAnyOrder) {
    EXPECT_TRUE(CMessageHeader::ContainsApplicableMacros("{{x}}"));
    EXPECT_TRUE(CMessageHeader::ContainsApplicableMacros("}} before {{"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("{{ only"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("only }}"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("{x}"));
}

TEST(PythonDictionary, CountsIndexedValuesAndTheBareName) {
    CMessageHeader header("Received: one\r\nReceived: two\r\n");
    CHeaderDictionary dictionary;
    header.DumpToPythonDictionary(dictionary);
    EXPECT_EQ(dictionary.strings.at("received"), "one");
    EXPECT_EQ(dictionary.strings.at("received:0"), "one");
    EXPECT_EQ(dictionary.strings.at("received:1"), "two");
    EXPECT_EQ(dictionary.integers.at("received:count"), 2);
    EXPECT_EQ(dictionary.strings.count("received:count"), 0u);
    EXPECT_EQ(dictionary.strings.at("x-ovrin-quoted-header"), "> Received: one\n> Received: two\n");
    EXPECT_EQ(dictionary.integers.at("x-ovrin-parsed-received:count"), 2);
    // the bare name and one key per value, for each of the three names
    EXPECT_EQ(dictionary.strings.size(), 3u + 3u + 2u);
    EXPECT_EQ(dictionary.integers.size(), 3u);
}

// 64 KiB hostile headers: each must be parsed to an end (result or warning), not overflow the
// stack under ASan nor stall the test.
TEST(HostileHeaders, NestedCommentsAndQuotedPairsFinish) {
    LogCapture log;
    std::string nested = "From: " + std::string(64 * 1024, '(') + "\r\n";
    CMessageHeader deep(nested);
    EXPECT_EQ(Values(deep, "x-ovrin-parsed-from"), Strings{""});

    std::string pairs = "To: \"";
    while (pairs.size() < 64 * 1024)
        pairs += "\\)";
    CMessageHeader quoted(pairs + "\" <a@h>\r\n");
    EXPECT_EQ(Values(quoted, "x-ovrin-parsed-to-mailbox"), Strings{"a@h"});
    EXPECT_EQ(log.LinesWith("Invalid 'from' header field").size(), 1u);
}

TEST(HostileHeaders, ManyMailboxesAndManyFoldsFinish) {
    std::string from = "From: a@h";
    for (int i = 0; i < 16 * 1024; ++i)
        from += ",\r\n b@h";
    CMessageHeader header(from + "\r\n");
    ASSERT_EQ(header.GetValueCount("x-ovrin-parsed-from-mailbox"), 16u * 1024 + 1);
    EXPECT_EQ(header.GetValue("x-ovrin-parsed-from-mailbox", 0), "a@h");
    EXPECT_EQ(header.GetValue("x-ovrin-parsed-from-mailbox", 16 * 1024), "b@h");

    std::string lines;
    for (int i = 0; i < 8 * 1024; ++i)
        lines += "X: y\r\n";
    EXPECT_EQ(CMessageHeader(lines).GetValueCount("x"), 8u * 1024);
}
