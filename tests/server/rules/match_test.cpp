// Matches: loading and its errors, the "any" and "all" modes over missing fields, several
// values and several patterns, anchoring, escaped macros, long values, Python and catch-all.
#include "server/rules/match.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/exception.h"
#include "server/rules/python_match.h"
#include "server/rules/regex_header_value_match.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

class Matches : public RulesFixture {
protected:
    CMatchPtr Make(const std::string& xml) { return CMatch::Create(Element(xml, "/match")); }

    bool Test(const std::string& xml, const CMessageHeader& header) { return Make(xml)->Match(nullptr, header); }

    // The message of the exception that loading the element raises.
    std::string LoadError(const std::string& xml) {
        LogCapture log;
        try {
            Make(xml);
        } catch (const CMessageException& e) {
            return e.what();
        }
        return "(no exception)";
    }
};

}  // namespace

TEST_F(Matches, LoadingReadsNamesModeAndPatterns) {
    CMatchPtr match = Make(RegexMatch("from;;subject;", "all", {"a", "", "b"}));
    auto& regex = dynamic_cast<CRegexHeaderValueMatch&>(*match);
    EXPECT_EQ(regex.GetHandler(), "regex");
    EXPECT_EQ(regex.GetFieldNames(), (std::vector<std::string>{"from", "subject"}));
    EXPECT_TRUE(regex.IsAll());
    EXPECT_EQ(regex.GetPatterns(), (std::vector<std::string>{"a", "", "b"}));
}

TEST_F(Matches, LoadingRefusesBadElements) {
    EXPECT_EQ(LoadError("<match handler=\"Regex\"/>"), "Invalid match handler attribute: 'Regex'");
    EXPECT_EQ(LoadError("<match/>"), "Invalid match handler attribute: ''");
    EXPECT_EQ(LoadError(RegexMatch("", "any", {"x"})), "Invalid or missing match attribute header-field-name");
    EXPECT_EQ(LoadError(RegexMatch(";", "any", {"x"})), "Invalid or empty match attribute header-field-name");
    EXPECT_EQ(LoadError(RegexMatch("subject", "ANY", {"x"})), "Invalid or missing match attribute match-mode");
    EXPECT_EQ(LoadError("<match handler=\"regex\" header-field-name=\"subject\"/>"),
              "Invalid or missing match attribute match-mode");
}

TEST_F(Matches, PatternsCoverTheWholeValue) {
    CMessageHeader header = Header({"Subject: xabcx"});
    EXPECT_FALSE(Test(RegexMatch("subject", "any", {"abc"}), header));
    EXPECT_TRUE(Test(RegexMatch("subject", "any", {".*abc.*"}), header));
    EXPECT_FALSE(Test(RegexMatch("subject", "any", {"xabc|abcx"}), header));
    // Case-sensitive.
    EXPECT_FALSE(Test(RegexMatch("subject", "any", {"XABCX"}), header));
}

TEST_F(Matches, AMissingFieldMatchesInNeitherMode) {
    CMessageHeader header = Header({"Subject: a"});
    EXPECT_FALSE(Test(RegexMatch("x-missing", "all", {".*"}), header));
    EXPECT_FALSE(Test(RegexMatch("x-missing", "any", {".*"}), header));
    // A present field with no patterns makes no test either.
    EXPECT_FALSE(Test(RegexMatch("subject", "any", {}), header));
}

TEST_F(Matches, AllNeedsEveryValueOfEveryField) {
    CMessageHeader oneMatches = Header({"Received: from good", "Received: from bad"});
    CMessageHeader bothMatch = Header({"Received: from good", "Received: from good too"});
    EXPECT_FALSE(Test(RegexMatch("received", "all", {"from good.*"}), oneMatches));
    EXPECT_TRUE(Test(RegexMatch("received", "any", {"from good.*"}), oneMatches));
    EXPECT_TRUE(Test(RegexMatch("received", "all", {"from good.*"}), bothMatch));
    // Fields are checked one after the other; a missing one adds no test.
    CMessageHeader twoFields = Header({"From: a@x", "To: b@x"});
    EXPECT_TRUE(Test(RegexMatch("from;to;cc", "all", {".*@x"}), twoFields));
    EXPECT_FALSE(Test(RegexMatch("from;to", "all", {"a@x"}), twoFields));
    EXPECT_TRUE(Test(RegexMatch("from;to", "any", {"b@x"}), twoFields));
}

TEST_F(Matches, SeveralPatterns) {
    CMessageHeader header = Header({"Subject: hello"});
    EXPECT_TRUE(Test(RegexMatch("subject", "any", {"nope", "hel.*"}), header));
    EXPECT_FALSE(Test(RegexMatch("subject", "any", {"nope", "nada"}), header));
    EXPECT_TRUE(Test(RegexMatch("subject", "all", {"h.*", ".*o"}), header));
    EXPECT_FALSE(Test(RegexMatch("subject", "all", {"h.*", "nope"}), header));
}

TEST_F(Matches, FieldNamesAreCaseInsensitive) {
    EXPECT_TRUE(Test(RegexMatch("SUBJECT", "any", {"a"}), Header({"Subject: a"})));
}

TEST_F(Matches, PerlSyntaxWithPosixClasses) {
    CMessageHeader header = Header({"X-Spam-Flag:  YES "});
    EXPECT_TRUE(Test(RegexMatch("x-spam-flag", "any", {"[[:space:]]*(?:YES|yes)[[:space:]]*"}), header));
    EXPECT_TRUE(Test(RegexMatch("x-spam-flag", "any", {"\\s*YES\\s*"}), header));
}

TEST_F(Matches, MacroValuesAreEscapedIntoPatterns) {
    CMatchPtr match = Make(RegexMatch("subject", "any", {"re: {{x-value}}"}));
    CMessageHeader header = Header({"Subject: re: a.b"});
    header.AddValue("x-value", "a.b");
    CMatchPtr applied = match->Clone();
    applied->ApplyHeader(header);
    EXPECT_TRUE(applied->Match(nullptr, header));
    CMessageHeader other = Header({"Subject: re: axb"});
    EXPECT_FALSE(applied->Match(nullptr, other));
    // The original keeps its macro.
    EXPECT_EQ(dynamic_cast<CRegexHeaderValueMatch&>(*match).GetPatterns(), std::vector<std::string>{"re: {{x-value}}"});
}

// Clones share the rule's texts until a macro changes one: each clone then has its own, and
// neither the original nor a sibling sees it. A lone "}}" still fails the substitution.
TEST_F(Matches, ClonesSubstituteTheirOwnValuesAndLeaveTheOriginalAndEachOtherAlone) {
    CMatchPtr match = Make(RegexMatch("subject;{{x-field}}", "any", {"re: {{x-value}}", "fixed"}));
    CMatchPtr first = match->Clone();
    CMatchPtr second = match->Clone();
    CMessageHeader a = Header({"Subject: re: a", "X-Other: fixed"});
    a.AddValue("x-value", "a");
    a.AddValue("x-field", "x-other");
    CMessageHeader b = Header({"Subject: re: b"});
    b.AddValue("x-value", "b");
    first->ApplyHeader(a);
    second->ApplyHeader(b);
    EXPECT_TRUE(first->Match(nullptr, a));
    EXPECT_FALSE(first->Match(nullptr, b));
    EXPECT_TRUE(second->Match(nullptr, b));
    EXPECT_FALSE(second->Match(nullptr, Header({"Subject: re: a"})));
    auto& original = dynamic_cast<CRegexHeaderValueMatch&>(*match);
    EXPECT_EQ(original.GetPatterns(), (std::vector<std::string>{"re: {{x-value}}", "fixed"}));
    EXPECT_EQ(original.GetFieldNames(), (std::vector<std::string>{"subject", "{{x-field}}"}));
    EXPECT_EQ(dynamic_cast<CRegexHeaderValueMatch&>(*first).GetFieldNames(),
              (std::vector<std::string>{"subject", "x-other"}));
    CMatchPtr lone = Make(RegexMatch("subject", "any", {"a}}"}))->Clone();
    EXPECT_THROW(lone->ApplyHeader(a), CMessageException);
}

TEST_F(Matches, FieldNamesMayComeFromMacros) {
    CMatchPtr match = Make(RegexMatch("{{x-field}}", "any", {"a"}));
    CMessageHeader header = Header({"Subject: a"});
    header.AddValue("x-field", "subject");
    match->ApplyHeader(header);
    EXPECT_TRUE(match->Match(nullptr, header));
}

TEST_F(Matches, AChangedPatternIsCompiledAgain) {
    CMatchPtr match = Make(RegexMatch("subject", "any", {"{{x-value}}"}));
    CMessageHeader header = Header({"Subject: b"});
    // Compiled with the macro text first (it cannot match "b")...
    EXPECT_FALSE(match->Match(nullptr, header));
    header.AddValue("x-value", "b");
    match->ApplyHeader(header);
    // ...then compiled again from the substituted text.
    EXPECT_TRUE(match->Match(nullptr, header));
}

TEST_F(Matches, AnInvalidPatternRaises) {
    CMatchPtr match = Make(RegexMatch("subject", "any", {"(unclosed"}));
    LogCapture log;
    EXPECT_ANY_THROW(match->Match(nullptr, Header({"Subject: a"})));
}

TEST_F(Matches, ADecisiveTestEndsTheMatchBeforeALaterInvalidPatternIsCompiled) {
    CMessageHeader header = Header({"Subject: hello"});
    EXPECT_TRUE(Test(RegexMatch("subject", "any", {"hel.*", "(unclosed"}), header));
    EXPECT_FALSE(Test(RegexMatch("subject", "all", {"nope", "(unclosed"}), header));
    LogCapture log;
    EXPECT_ANY_THROW(Test(RegexMatch("subject", "any", {"nope", "(unclosed"}), header));
}

TEST_F(Matches, LongValuesAreTestedOnTheirFirst2048Bytes) {
    CMessageHeader header;
    header.AddValue("x-long", std::string(2048, 'a') + "b");
    LogCapture log;
    EXPECT_TRUE(Test(RegexMatch("x-long", "any", {"a{2048}"}), header));
    EXPECT_FALSE(Test(RegexMatch("x-long", "any", {".*b"}), header));
    EXPECT_FALSE(log.LinesWith("WARNING ValidateRegexedLine()").empty());
}

TEST_F(Matches, SaveWritesWhatLoadRead) {
    CMatchPtr match = Make(RegexMatch("from;subject", "all", {"a&b", "<c>"}));
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("match");
    match->Save(root);
    CMatchPtr reloaded = CMatch::Create(root);
    auto& regex = dynamic_cast<CRegexHeaderValueMatch&>(*reloaded);
    EXPECT_EQ(regex.GetFieldNames(), (std::vector<std::string>{"from", "subject"}));
    EXPECT_TRUE(regex.IsAll());
    EXPECT_EQ(regex.GetPatterns(), (std::vector<std::string>{"a&b", "<c>"}));
}

TEST_F(Matches, AnyMatchesEverything) {
    CMatchPtr match = Make(AnyMatch());
    EXPECT_TRUE(match->Match(nullptr, CMessageHeader()));
    EXPECT_TRUE(match->Clone()->Match(nullptr, Header({"Subject: a"})));
}

TEST_F(Matches, PythonMatchIsTrueOnlyForTheResultMatch) {
    CMessageHeader header = Header({"Subject: hello"});
    EXPECT_TRUE(Test(PythonMatch("if headers['subject'] == 'hello':\n    result = 'match'\n"), header));
    EXPECT_FALSE(Test(PythonMatch("result = 'Match'"), header));
    EXPECT_FALSE(Test(PythonMatch("x = 1"), header));
}

TEST_F(Matches, PythonMatchScriptsWithCrLfLineEndsRun) {
    EXPECT_TRUE(Test(PythonMatch("if 1:\r\n    result = 'match'\r\n"), Header({})));
}

TEST_F(Matches, PythonMacroValuesStayInsideAnyStringLiteralAndReadAsTheDictionarysText) {
    const std::pair<std::string, std::string> literals[] = {{"'", "'"}, {"\"", "\""}, {"'''", "'''"}, {"\"\"\"", "\"\"\""}};
    const std::string ran = UserDirectory() + "/ran";
    const std::string values[] = {
        "say \"hi\" \\o/", "it's", "x'''y\"\"\"z", "a\\'b\\", "\xe9t\xe9", "caf\xc3\xa9", "line\nnext\x01",
        "\xf0\x9f\x98\x80 \xc3", "\\x41\\u0041",
        // Would create a file if it ran as code.
        "'''\"\"\"'\"; open('" + ran + "', 'w'); x = \"'''\"\"\"'",
    };
    for (const auto& [open, close] : literals)
        for (const std::string& value : values) {
            SCOPED_TRACE(open + value + close);
            CMatchPtr match = Make(PythonMatch("s = " + open + "{{x-value}}" + close +
                                               "\nresult = 'match' if s == headers['x-value'] else 'differs'\n"));
            CMessageHeader header = Header({"Subject: a"});
            header.AddValue("x-value", value);
            match->ApplyHeader(header);
            LogCapture log;
            EXPECT_TRUE(match->Match(nullptr, header));
        }
    EXPECT_FALSE(std::filesystem::exists(ran));
}

TEST_F(Matches, PythonMatchSeesTheMessageFileOnlyWhenItIsOpen) {
    CMatchPtr match = Make(PythonMatch(
        "if 'x-ovrin-message-filename' in headers and "
        "open(headers['x-ovrin-message-filename']).read().find('body') >= 0:\n    result = 'match'\n"));
    CMessageHeader header = Header({"Subject: a"});
    EXPECT_FALSE(match->Match(nullptr, header));
    EXPECT_TRUE(match->Match(MessageFile(), header));
}

TEST_F(Matches, PythonScriptSurvivesSaveAndLoad) {
    const std::string script = "if headers.get('subject', '') < 'b' and 1 > 0:\r\n    result = 'match'\r\n";
    CMatchPtr match = Make(PythonMatch(script));
    EXPECT_EQ(dynamic_cast<CPythonMatch&>(*match).GetScript(), script);
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("match");
    match->Save(root);
    CMatchPtr reloaded = CMatch::Create(root);
    EXPECT_EQ(dynamic_cast<CPythonMatch&>(*reloaded).GetScript(), script);
    EXPECT_TRUE(reloaded->Match(nullptr, Header({"Subject: a"})));
}

TEST_F(Matches, PythonErrorsRaise) {
    CMatchPtr match = Make(PythonMatch("raise ValueError('no')"));
    LogCapture log;
    EXPECT_THROW(match->Match(nullptr, Header({})), CMessageException);
}
