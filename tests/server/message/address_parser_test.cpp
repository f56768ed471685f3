// The address parser: canonical texts, error texts with the rest of the input, the token walk,
// and hostile values that must neither blow the stack nor stall.
#include "server/message/address_parser.h"

#include <gtest/gtest.h>

#include <string>

using namespace Ovrin;

namespace {

struct Parsed {
    std::string text;
    bool failed;
};

Parsed Parse(std::string_view name, std::string_view value) {
    Parsed result{"", true};
    result.text = ParseCanonical(name, value, result.failed);
    return result;
}

// The canonical text of a value that must parse.
std::string Canonical(std::string_view name, std::string_view value) {
    Parsed parsed = Parse(name, value);
    EXPECT_FALSE(parsed.failed) << "error: " << parsed.text;
    return parsed.text;
}

// The error text of a value that must not parse.
std::string Error(std::string_view name, std::string_view value) {
    Parsed parsed = Parse(name, value);
    EXPECT_TRUE(parsed.failed) << "parsed as: " << parsed.text;
    return parsed.text;
}

std::string OneMailbox(const std::string& content) { return "mailbox-list(mailbox(" + content + "))"; }

}  // namespace

TEST(CanonicalForm, EmptyValueIsEmptyForEveryNameAndResetsFailed) {
    for (const char* name : {"from", "sender", "to", "cc", "reply-to", "subject", ""}) {
        Parsed parsed = Parse(name, "");
        EXPECT_EQ(parsed.text, "") << name;
        EXPECT_FALSE(parsed.failed) << name;
    }
}

TEST(CanonicalForm, OtherFieldsOnlyTurnParenthesesIntoBraces) {
    EXPECT_EQ(Canonical("subject", "a(b)c"), "a{b}c");
    EXPECT_EQ(Canonical("received", "from x (y [1.2.3.4]) by z; <@>"), "from x {y [1.2.3.4]} by z; <@>");
    EXPECT_EQ(Canonical("x-anything", "  unparsed, \"quotes\" stay  "), "  unparsed, \"quotes\" stay  ");
}

TEST(CanonicalForm, FieldNameDecidesTheGrammarCaseInsensitively) {
    EXPECT_EQ(Canonical("From", "a@h"), OneMailbox("local-part(a)domain(h)"));
    EXPECT_EQ(Canonical("SENDER", "a@h"), "mailbox(local-part(a)domain(h))");
    for (const char* name : {"to", "Cc", "REPLY-TO"})
        EXPECT_EQ(Canonical(name, "a@h"), "address-list(address(mailbox(local-part(a)domain(h))))") << name;
    // a name that merely resembles an address field is not parsed
    EXPECT_EQ(Canonical("from-x", "not an (address)"), "not an {address}");
}

TEST(CanonicalForm, DisplayNamesAreJoinedPhrases) {
    EXPECT_EQ(Canonical("from", "Ann Lee <ann.lee@host>"),
              OneMailbox("display-name(Ann Lee)local-part(ann.lee)domain(host)"));
    EXPECT_EQ(Canonical("from", "Ann \t  Lee   <a@h>"), OneMailbox("display-name(Ann Lee)local-part(a)domain(h)"));
    // a period is no phrase word (obsolete syntax), so this is read as a bare address (local part and domain)
    EXPECT_EQ(Error("from", "\"Lee, Ann\" Q. <a@h>"), "At (@) expected at: Q. <a@h>");
    EXPECT_EQ(Canonical("from", "\"Lee, Ann\" Jr <a@h>"), OneMailbox("display-name(Lee, Ann Jr)local-part(a)domain(h)"));
    EXPECT_EQ(Canonical("from", "<a@h>"), OneMailbox("local-part(a)domain(h)"));
    EXPECT_EQ(Canonical("from", "\"\" <a@h>"), OneMailbox("local-part(a)domain(h)"));
}

TEST(CanonicalForm, QuotedDisplayNameKeepsItsParenthesesAsBraces) {
    EXPECT_EQ(Canonical("from", "\"A (x) B\" <a@h>"), OneMailbox("display-name(A {x} B)local-part(a)domain(h)"));
    // quoted pairs lose the backslash; the character is copied (and a parenthesis still turned)
    EXPECT_EQ(Canonical("from", "\"a\\\"b\\(c\\\\\" <x@y>"), OneMailbox("display-name(a\"b{c\\)local-part(x)domain(y)"));
    // whitespace in a quoted string is copied, a blank for each blank or tab
    EXPECT_EQ(Canonical("from", "\" a\t b \" <x@y>"), OneMailbox("display-name( a  b )local-part(x)domain(y)"));
}

TEST(CanonicalForm, CommentsAreDroppedWhole) {
    EXPECT_EQ(Canonical("from", "ann@host (Ann)"), OneMailbox("local-part(ann)domain(host)"));
    EXPECT_EQ(Canonical("from", "(c) ann (x) @ (y) host (z)"), OneMailbox("local-part(ann)domain(host)"));
    EXPECT_EQ(Canonical("from", "Ann (the (nested \\) one)) Lee <a@h>"),
              OneMailbox("display-name(Ann Lee)local-part(a)domain(h)"));
    EXPECT_EQ(Canonical("from", "a.(x)b@h.(y)org"), OneMailbox("local-part(a.b)domain(h.org)"));
}

TEST(CanonicalForm, AtomsWithoutPeriodBetweenThemAreJoined) {
    EXPECT_EQ(Canonical("from", "john smith@host"), OneMailbox("local-part(johnsmith)domain(host)"));
    EXPECT_EQ(Canonical("from", "a@b c"), OneMailbox("local-part(a)domain(bc)"));
}

TEST(CanonicalForm, QuotedLocalPartAndDomainLiteralAreUnwrapped) {
    EXPECT_EQ(Canonical("from", "\"john doe\"@host"), OneMailbox("local-part(john doe)domain(host)"));
    EXPECT_EQ(Canonical("from", "a@[1.2.3.4]"), OneMailbox("local-part(a)domain(1.2.3.4)"));
    EXPECT_EQ(Canonical("from", "a@[ ip\t(v6) \\] ]"), OneMailbox("local-part(a)domain( ip {v6} ] )"));
}

TEST(CanonicalForm, EightBitBytesAreNoAtextButQuotable) {
    EXPECT_EQ(Canonical("from", "\"J\xc3\xb6rg\" <j@h>"), OneMailbox("display-name(J\xc3\xb6rg)local-part(j)domain(h)"));
    EXPECT_EQ(Error("from", "J\xc3\xb6rg <j@h>"), "At (@) expected at: \xc3\xb6rg <j@h>");
}

TEST(CanonicalForm, ListsAndGroups) {
    EXPECT_EQ(Canonical("from", "a@h, Bob <b@h>"),
              "mailbox-list(mailbox(local-part(a)domain(h))mailbox(display-name(Bob)local-part(b)domain(h)))");
    EXPECT_EQ(Canonical("to", "a@h, b@h"),
              "address-list(address(mailbox(local-part(a)domain(h)))address(mailbox(local-part(b)domain(h))))");
    EXPECT_EQ(Canonical("to", "undisclosed-recipients:;"),
              "address-list(address(group(display-name(undisclosed-recipients))))");
    EXPECT_EQ(Canonical("cc", "The Team: a@h, B <b@h>; , c@h"),
              "address-list(address(group(display-name(The Team)mailbox-list("
              "mailbox(local-part(a)domain(h))mailbox(display-name(B)local-part(b)domain(h)))))"
              "address(mailbox(local-part(c)domain(h))))");
    // a group is no mailbox: from and sender do not take one
    EXPECT_EQ(Error("from", "G: a@h;"), "At (@) expected at: : a@h;");
}

TEST(ParseErrors, CarryTheExactRestOfTheInput) {
    EXPECT_EQ(Error("from", "ann@"), "Empty domain at: ");
    EXPECT_EQ(Error("from", "a..b@h"), "Missing atom after period at: ..b@h");
    EXPECT_EQ(Error("from", "ann.@h"), "Missing atom after period at: .@h");
    EXPECT_EQ(Error("to", "a@h b@h"), "Failed to parse at: @h");
    EXPECT_EQ(Error("sender", "a@h, b@h"), "Failed to parse at: , b@h");
    EXPECT_EQ(Error("from", "@h"), "Empty local-part at: @h");
    EXPECT_EQ(Error("from", "ann host"), "At (@) expected at: ");
    EXPECT_EQ(Error("from", "Ann <a@h;x"), "Right angle bracket (>) expected at: ;x");
    EXPECT_EQ(Error("from", "a@h (x\ry)"), "Closing parenthesis ()) expected at: \ry)");
    EXPECT_EQ(Error("from", "\"Ann <a@h>"), "Closing quote (\") expected at: ");
    EXPECT_EQ(Error("from", "\"a\\\r\" <x@y>"), "Invalid quoted pair at: \r\" <x@y>");
    EXPECT_EQ(Error("from", "a@[1[2]"), "Right square bracket (]) expected at: [2]");
    EXPECT_EQ(Error("to", ": a@h;"), "Empty group name at: : a@h;");
    EXPECT_EQ(Error("to", "G: a@h"), "Semicolon (;) expected at: ");
    EXPECT_EQ(Error("to", "a@h,"), "Empty local-part at: ");
}

TEST(ParseErrors, AValueCutByANulFailsAtTheNul) {
    Parsed parsed = Parse("from", std::string("a@h\0b@h", 7));
    EXPECT_TRUE(parsed.failed);
    EXPECT_EQ(parsed.text, "Failed to parse at: ");
}

TEST(FetchToken, WalksEveryTokenOfOneNameInOrder) {
    std::string text = "mailbox-list(mailbox(X)mailbox(Y))";
    EXPECT_EQ(FetchToken(text, "mailbox"), "X");
    EXPECT_EQ(text, "mailbox(Y))");
    EXPECT_EQ(FetchToken(text, "mailbox"), "Y");
    EXPECT_EQ(text, ")");
    EXPECT_EQ(FetchToken(text, "mailbox"), "");
    EXPECT_EQ(text, "");
}

TEST(FetchToken, NestedFetchesWalkTheMailboxesOfAParsedList) {
    std::string text = Canonical("to", "G: \"local-part(x)\" <a@h>;, b@[1.2]");
    std::vector<std::string> found;
    for (std::string mailbox = FetchToken(text, "mailbox"); !mailbox.empty(); mailbox = FetchToken(text, "mailbox")) {
        std::string local = FetchToken(mailbox, "local-part");
        found.push_back(local + "@" + FetchToken(mailbox, "domain"));
    }
    EXPECT_EQ(found, (std::vector<std::string>{"a@h", "b@1.2"}));
}

TEST(FetchToken, MissingOrUnbalancedTokenClearsTheText) {
    std::string text = "mailbox-list(local-part(a))";
    EXPECT_EQ(FetchToken(text, "mailbox"), "");
    EXPECT_EQ(text, "");
    text = "mailbox(local-part(a)";
    EXPECT_EQ(FetchToken(text, "mailbox"), "");
    EXPECT_EQ(text, "");
    text = "domain";
    EXPECT_EQ(FetchToken(text, "domain"), "");
    EXPECT_EQ(text, "");
}

TEST(FetchToken, ViewFormLeavesTheSameRest) {
    std::string_view text = "x(1)mailbox(a(b)c)y(2)";
    EXPECT_EQ(FetchToken(text, "mailbox"), "a(b)c");
    EXPECT_EQ(text, "y(2)");
}

// Hostile values: each must come back with a result or an error, without overflowing the
// stack (the ASan build would report it) and without a quadratic stall.
TEST(HostileValues, SixtyFourKiBOfNestedCommentsFinish) {
    const size_t depth = 64 * 1024;
    EXPECT_EQ(Error("from", std::string(depth, '(')), "Closing parenthesis ()) expected at: ");
    std::string balanced = "a@h " + std::string(depth / 2, '(') + std::string(depth / 2, ')');
    EXPECT_EQ(Canonical("from", balanced), OneMailbox("local-part(a)domain(h)"));
    for (const char* name : {"sender", "to", "cc", "reply-to"})
        EXPECT_EQ(Error(name, std::string(depth, '(') + ")"), "Closing parenthesis ()) expected at: ") << name;
}

TEST(HostileValues, SixtyFourKiBOfQuotedPairsFinish) {
    std::string pairs;
    for (int i = 0; i < 32 * 1024; ++i)
        pairs += "\\(";
    std::string canonical = Canonical("from", "\"" + pairs + "\" <a@h>");
    EXPECT_EQ(canonical, OneMailbox("display-name(" + std::string(32 * 1024, '{') + ")local-part(a)domain(h)"));
    EXPECT_EQ(Error("from", "(" + pairs), "Closing parenthesis ()) expected at: ");
    EXPECT_EQ(Error("from", std::string(64 * 1024, '\\')), "Empty local-part at: " + std::string(64 * 1024, '\\'));
}

TEST(HostileValues, LongListsAndPhrasesFinish) {
    std::string list;
    for (int i = 0; i < 16 * 1024; ++i)
        list += "a@h,";
    list += "a@h";
    std::string canonical = Canonical("to", list);
    size_t count = 0;
    for (std::string_view rest = canonical; !FetchToken(rest, "mailbox").empty();)
        ++count;
    EXPECT_EQ(count, 16u * 1024 + 1);

    std::string words;
    for (int i = 0; i < 32 * 1024; ++i)
        words += "w ";
    EXPECT_EQ(Canonical("from", words + "<a@h>"),
              OneMailbox("display-name(" + words.substr(0, words.size() - 1) + ")local-part(a)domain(h)"));
    EXPECT_EQ(Error("to", words + ": \"" + std::string(32 * 1024, 'x')), "Closing quote (\") expected at: ");
}
