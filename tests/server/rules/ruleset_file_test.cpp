// The ruleset file: loading with schema validation and its errors, actions loading, and the
// write-back on release (counts, inserted rules kept, expired rules dropped, the shipped
// schema satisfied, a failed write leaving the file alone).
#include "server/rules/ruleset.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "server/rules/dispatch_action.h"
#include "server/rules/python_action.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

const std::string kSubjectA = "Subject: a";

class RulesetFiles : public RulesFixture {
protected:
    // The message of the exception that loading the ruleset raises.
    std::string LoadError(const std::string& contents) {
        WriteWholeFile(RulesetPath(), contents);
        LogCapture log;
        try {
            CRuleSet ruleset("u");
        } catch (const CMessageException& e) {
            return e.what();
        }
        return "(no exception)";
    }
};

}  // namespace

TEST_F(RulesetFiles, LoadsRulesInFileOrderWithTheirCounts) {
    WriteRules(Rule({"one", AnyMatch(), DispatchTo("one")}) + Rule({"two", AnyMatch(), DispatchTo("two")}), 41);
    auto ruleset = Load();
    EXPECT_EQ(ruleset->GetName(), "u");
    EXPECT_EQ(ruleset->GetRuleCount(), 2u);
    EXPECT_EQ(ruleset->GetDispatchedMessages(), 41u);
}

TEST_F(RulesetFiles, LoadErrorsAbortTheWholeRuleset) {
    EXPECT_EQ(LoadError(RulesetFile(Rule({"empty", AnyMatch(), ""}))), "No actions under rule 'empty'");
    EXPECT_EQ(LoadError(RulesetFile(Rule({"bad match", "<match handler=\"Regex\"/>", DispatchTo("x")}))),
              "Invalid match handler attribute: 'Regex'");
    EXPECT_EQ(LoadError(RulesetFile(Rule({"bad action", AnyMatch(), "<action handler=\"Dispatch\" mailbox=\"x\"/>"}))),
              "Invalid action handler attribute: 'Dispatch'");
    EXPECT_EQ(LoadError(RulesetFile(Rule({"no mailbox", AnyMatch(), "<action handler=\"dispatch\"/>"}))),
              "Invalid or missing action attribute mailbox");
    EXPECT_EQ(LoadError(RulesetFile(Rule({"bad method", AnyMatch(), RulesetAction("jump")}))),
              "Invalid ruleset action method: 'jump'");
    EXPECT_EQ(LoadError(RulesetFile(Rule({"no template", AnyMatch(), RulesetAction("insert-last")}))),
              "No rule under ruleset action 'insert-last'");
    // The errors of a nested rule abort the load as well.
    EXPECT_EQ(LoadError(RulesetFile(Rule({"outer", AnyMatch(), RulesetAction("insert-last", Rule({"inner", "", ""}))}))),
              "No actions under rule 'inner'");
}

TEST_F(RulesetFiles, TheSchemaRefusesMisplacedElements) {
    std::string path = RulesetPath();
    EXPECT_EQ(LoadError("<?xml version=\"1.0\"?><ruleset><rule/></ruleset>"),
              "The document failed to validate against the XML schema at '" + UserDirectory() + "/ruleset.xsd'");
    EXPECT_EQ(LoadError(RulesetFile("<rule description=\"x\" colour=\"red\"/>")),
              "The document failed to validate against the XML schema at '" + UserDirectory() + "/ruleset.xsd'");
    EXPECT_EQ(LoadError("<?xml version=\"1.0\"?><ruleset><rules>"), "Failed to load XML file from '" + path + "'");
}

TEST_F(RulesetFiles, AMissingFileOrSchemaFailsTheLoad) {
    EXPECT_EQ(LoadError(""), "Failed to load XML file from '" + RulesetPath() + "'");
    WriteRules(Rule({"one", AnyMatch(), DispatchTo("one")}));
    std::filesystem::remove(UserDirectory() + "/ruleset.xsd");
    LogCapture log;
    EXPECT_THROW(CRuleSet ruleset("u"), CMessageException);
}

TEST_F(RulesetFiles, TheShippedSchemaAcceptsEveryPartOfTheFormatAndTheWriteBack) {
    // Every handler, every method, scripts, rules nested three deep.
    std::string deepest = Rule({"deepest", RegexMatch("subject", "all", {"a", "b"}), DispatchTo("deep")});
    std::string middle = Rule({"middle", PythonMatch("result = 'match'"), RulesetAction("insert-first", deepest)});
    WriteRules(Rule({"outer", AnyMatch() + RegexMatch("from;to", "any", {".*"}) + PythonMatch("x = 1"),
                     RulesetAction("insert-before", middle, "r") + RulesetAction("insert-after", middle, "") +
                         RulesetAction("insert-last", middle) + RulesetAction("delete-current") +
                         RulesetAction("move-first") + RulesetAction("move-end") + RulesetAction("move-next") +
                         PythonAction("result = 'x'") + DispatchTo("box"), "r"}));
    EXPECT_EQ(Load()->GetRuleCount(), 1u);
    // Written back on release and loaded again, so validated twice against the shipped schema.
    EXPECT_EQ(Load()->GetRuleCount(), 1u);
    EXPECT_EQ(Saved("//rule").size(), 7u);
    EXPECT_EQ(Saved("(//rule[@description='deepest'])[1]/matches/match/regexes/regex/@pattern"),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Saved("/ruleset/rules/rule/actions/action/@method"),
              (std::vector<std::string>{"insert-before", "insert-after", "insert-last", "delete-current",
                                        "move-first", "move-end", "move-next"}));
}

TEST_F(RulesetFiles, AMissingOrEmptyExpiryNeverExpires) {
    // The shipped schema leaves the attribute out; the manager may write it empty.
    for (const char* expires : {"", " expires=\"\""}) {
        SCOPED_TRACE(expires);
        WriteRules(std::string("<rule enabled=\"true\"") + expires + "><actions><action handler=\"dispatch\" mailbox=\"m\"/></actions></rule>");
        auto ruleset = Load();
        LogCapture log;
        EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "m");
        ruleset.reset();
        EXPECT_TRUE(log.LinesWith(" ERROR ").empty());
        EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), std::vector<std::string>{"1"});
        EXPECT_EQ(Saved("/ruleset/rules/rule/@expires"), std::vector<std::string>{""});
    }
}

TEST_F(RulesetFiles, ReleaseWritesCountsInsertedRulesAndDropsExpiredOnes) {
    RuleText soonExpired{"expires with the header", RegexMatch("subject", "any", {"a"}),
                         RulesetAction("insert-last", Rule({"short-lived", AnyMatch(), DispatchTo("x"), "", true, false,
                                                            "{{x-test-expiry}}", true}))};
    soonExpired.applyHeader = true;
    RuleText expired{"long gone", AnyMatch(), DispatchTo("gone")};
    expired.expires = "2001-01-01 00:00:00";
    WriteRules(Rule(soonExpired) + Rule(expired) + Rule({"rest", AnyMatch(), DispatchTo("rest")}), 10);
    auto ruleset = Load();
    CMessageHeader header = Header({"Subject: b"});
    header.AddValue("x-test-expiry", "2002-02-02 00:00:00");
    CMessageHeader inserting = Header({kSubjectA});
    inserting.AddValue("x-test-expiry", "2002-02-02 00:00:00");
    EXPECT_EQ(Dispatch(*ruleset, header), "rest");
    // Inserts a rule whose expiry, filled from this message, has already passed...
    EXPECT_EQ(Dispatch(*ruleset, inserting), "rest");
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: c"})), "rest");
    EXPECT_EQ(ruleset->GetRuleCount(), 4u);
    ruleset.reset();
    // ...so it is dropped with the long-expired rule at release.
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"expires with the header", "rest"}));
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), std::vector<std::string>{"13"});
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@dispatched-messages"), std::vector<std::string>{"3"});
    // The template keeps its macro expiry.
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/actions/action/rule/@expires"),
              std::vector<std::string>{"{{x-test-expiry}}"});
    // The written file loads again (and so satisfies the shipped schema).
    EXPECT_EQ(Load()->GetRuleCount(), 2u);
}

TEST_F(RulesetFiles, SpamAndFailedDispatchesAreCountedToo) {
    WriteRules(Rule({"boom", PythonMatch("raise ValueError('x')"), DispatchTo("never")}), 0);
    auto ruleset = Load();
    {
        LogCapture log;
        EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
        EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    }
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), std::vector<std::string>{"2"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), std::vector<std::string>{"0"});
}

TEST_F(RulesetFiles, WriteBackKeepsEveryAttributeAndText) {
    RuleText rule{"all <fields> & \"quotes\"", RegexMatch("from;subject", "all", {"x&y", "{{subject}}"}) +
                  PythonMatch("if 1 < 2:\n    result = 'match'\n"),
                  PythonAction("result = \"a&b\"") + DispatchTo("{{x-box}}"), "the-id", false, true,
                  "{{x-ovrin-expires-one-week}}", true, 7};
    WriteRules(Rule(rule));
    Load().reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"), std::vector<std::string>{"all <fields> & \"quotes\""});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@id"), std::vector<std::string>{"the-id"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@enabled"), std::vector<std::string>{"false"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@trainable"), std::vector<std::string>{"true"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@apply-header"), std::vector<std::string>{"true"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@expires"), std::vector<std::string>{"{{x-ovrin-expires-one-week}}"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), std::vector<std::string>{"7"});
    EXPECT_EQ(Saved("//match/@header-field-name"), std::vector<std::string>{"from;subject"});
    EXPECT_EQ(Saved("//match/@match-mode"), std::vector<std::string>{"all"});
    EXPECT_EQ(Saved("//regex/@pattern"), (std::vector<std::string>{"x&y", "{{subject}}"}));
    EXPECT_EQ(Saved("//match/script"), std::vector<std::string>{"if 1 < 2:\r\n    result = 'match'\r\n"});
    EXPECT_EQ(Saved("//action/script"), std::vector<std::string>{"result = \"a&b\""});
    EXPECT_EQ(Saved("//action/@mailbox"), std::vector<std::string>{"{{x-box}}"});
}

TEST_F(RulesetFiles, AnExpiredTemplateIsStillWrittenWithItsAction) {
    std::string expiredTemplate = Rule({"old template", AnyMatch(), DispatchTo("x"), "", true, false,
                                        "2001-01-01 00:00:00"});
    WriteRules(Rule({"inserter", RegexMatch("subject", "any", {"never"}), RulesetAction("insert-last", expiredTemplate)}));
    Load().reset();
    EXPECT_EQ(Saved("//action/rule/@description"), std::vector<std::string>{"old template"});
    EXPECT_EQ(Load()->GetRuleCount(), 1u);
}

TEST_F(RulesetFiles, AnUnreadableExpiryIsWrittenBackUnchangedWithTheRestOfTheRuleset) {
    RuleText inserter{"inserter", AnyMatch(),
                      RulesetAction("insert-last", Rule({"broken", RegexMatch("subject", "any", {"never"}),
                                                         DispatchTo("x"), "", true, false, "{{x-bad}}", true}))};
    inserter.applyHeader = true;
    WriteRules(Rule(inserter) + Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    auto ruleset = Load();
    CMessageHeader header = Header({kSubjectA});
    header.AddValue("x-bad", "not a date");
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, header), "rest");
    ruleset.reset();
    EXPECT_EQ(log.LinesWith("WARNING CRule::Save(0x").size(), 1u);
    EXPECT_EQ(log.LinesWith("rule 'broken' has an unreadable expiry 'not a date', it is written back unchanged").size(), 1u);
    EXPECT_TRUE(log.LinesWith(" ERROR ").empty());
    EXPECT_EQ(Saved("/ruleset/@dispatched-messages"), std::vector<std::string>{"1"});
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"), (std::vector<std::string>{"inserter", "rest", "broken"}));
    EXPECT_EQ(Saved("/ruleset/rules/rule[3]/@expires"), std::vector<std::string>{"not a date"});
}

TEST_F(RulesetFiles, TheWriteBackIsValidatedBeforeItIsSaved) {
    WriteRules(Rule({"one", AnyMatch(), DispatchTo("one")}));
    std::string before = ReadWholeFile(RulesetPath());
    auto ruleset = Load();
    Dispatch(*ruleset, Header({kSubjectA}));
    // A schema that the written document cannot satisfy.
    WriteWholeFile(UserDirectory() + "/ruleset.xsd",
                   "<?xml version=\"1.0\"?><xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">"
                   "<xs:element name=\"other\"/></xs:schema>");
    LogCapture log;
    ruleset.reset();
    EXPECT_FALSE(log.LinesWith("ERROR CRuleSet::~CRuleSet(): The document failed to validate").empty());
    EXPECT_EQ(ReadWholeFile(RulesetPath()), before);
}

TEST_F(RulesetFiles, ActionsLoadAndCloneTheirTexts) {
    CActionPtr dispatch = CAction::Create(Element(DispatchTo("{{x-box}}"), "/action"));
    CActionPtr python = CAction::Create(Element(PythonAction("result = 'py'"), "/action"));
    CMessageHeader header = Header({kSubjectA});
    header.AddValue("x-box", "boxed");
    CActionPtr applied = dispatch->Clone();
    applied->ApplyHeader(header);
    CRuleList rules;
    CRulePosition position = rules.end();
    EXPECT_EQ(applied->Activate(header, nullptr, nullptr, rules, position), "boxed");
    EXPECT_EQ(dispatch->Activate(header, nullptr, nullptr, rules, position), "{{x-box}}");
    EXPECT_EQ(python->Clone()->Activate(header, nullptr, nullptr, rules, position), "py");
    EXPECT_EQ(dynamic_cast<CPythonAction&>(*python).GetScript(), "result = 'py'");
}

TEST_F(RulesetFiles, APythonActionNamesTheMailbox) {
    auto ruleset = Load(
        Rule({"script", AnyMatch(),
              PythonAction("if headers['subject'].startswith('list'):\n    result = 'lists'\nelse:\n    result = ''\n")}) +
        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: list news"})), "lists");
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: other"})), "rest");
}

TEST_F(RulesetFiles, APythonActionSeesTheMessageFileOnTheFilePass) {
    auto ruleset = Load(Rule(
        {"reader", AnyMatch(),
         PythonAction("if 'x-ovrin-message-filename' in headers:\n"
                      "    result = open(headers['x-ovrin-message-filename']).read().split()[-1]\n"
                      "else:\n    result = '<contents>'\n")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "<contents>");
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA}), MessageFile("Subject: a\r\n\r\nbody\r\n")), "body");
}

TEST_F(RulesetFiles, TheShippedDemoRulesetsLoadAndFile) {
    const std::string demo = std::string(OVRIN_SOURCE_DIR) + "/demo/mail/";
    std::filesystem::copy_file(demo + ".template/ruleset.xml", RulesetPath());
    EXPECT_EQ(Dispatch(*Load(), Header({kSubjectA})), "mail");

    std::filesystem::copy_file(demo + "demo/ruleset.xml", RulesetPath(), std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(demo + "demo/ruleset.xsd", UserDirectory() + "/ruleset.xsd",
                               std::filesystem::copy_options::overwrite_existing);
    auto ruleset = Load();
    EXPECT_EQ(Dispatch(*ruleset, Header({"X-Spam-Flag: YES", kSubjectA})), "spam");
    EXPECT_EQ(Dispatch(*ruleset, Header({"List-Id: <news.example.org>"})), "lists");
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "mail");
    // Written back, the demo ruleset still satisfies its schema.
    ruleset.reset();
    EXPECT_EQ(Load()->GetDispatchedMessages(), 3u);
}
