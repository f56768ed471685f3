// The dispatch walk of a ruleset: rule order, skipped rules, special results, rule exceptions,
// training mode, the bound on the walk and the refusal of results that leave the user's
// mailboxes.
#include "server/rules/ruleset.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

const std::string kSubjectA = "Subject: a";

class RulesetDispatch : public RulesFixture {};

}  // namespace

TEST_F(RulesetDispatch, FirstAcceptingRuleWins) {
    auto ruleset = Load(Rule({"only a", RegexMatch("subject", "any", {"a"}), DispatchTo("box-a")}) +
                        Rule({"all", AnyMatch(), DispatchTo("box-all")}) +
                        Rule({"never reached", AnyMatch(), DispatchTo("box-last")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: a"})), "box-a");
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "box-all");
    EXPECT_EQ(Dispatch(*ruleset, Header({})), "box-all");
}

TEST_F(RulesetDispatch, ARuleWithoutMatchesAcceptsEverything) {
    auto ruleset = Load(Rule({"no matches", "", DispatchTo("inbox")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "inbox");
}

TEST_F(RulesetDispatch, DisabledAndExpiredRulesAreSkipped) {
    RuleText disabled{"disabled", AnyMatch(), DispatchTo("disabled")};
    disabled.enabled = false;
    RuleText expired{"expired", AnyMatch(), DispatchTo("expired")};
    expired.expires = "2001-01-01 00:00:00";
    RuleText macroExpiry{"macro expiry", RegexMatch("subject", "any", {"m"}), DispatchTo("macro")};
    macroExpiry.expires = "{{x-ovrin-expires-one-week}}";
    auto ruleset = Load(Rule(disabled) + Rule(expired) + Rule(macroExpiry) +
                        Rule({"never expires", AnyMatch(), DispatchTo("kept")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "kept");
    // An expiry that still holds a macro is not a date yet: the rule is alive.
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: m"})), "macro");
}

TEST_F(RulesetDispatch, AnExpiryFilledFromTheHeaderDecidesPerMessage) {
    RuleText rule{"expiring", AnyMatch(), DispatchTo("fresh")};
    rule.expires = "{{x-test-expiry}}";
    rule.applyHeader = true;
    auto ruleset = Load(Rule(rule) + Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    CMessageHeader past = Header({kSubjectA});
    past.AddValue("x-test-expiry", "2001-01-01 00:00:00");
    CMessageHeader future = Header({kSubjectA});
    future.AddValue("x-test-expiry", "2037-12-31 23:59:59");
    EXPECT_EQ(Dispatch(*ruleset, past), "rest");
    EXPECT_EQ(Dispatch(*ruleset, future), "fresh");
}

TEST_F(RulesetDispatch, NoAcceptingRuleSendsToSpamWithAWarning) {
    auto ruleset = Load(Rule({"only a", RegexMatch("subject", "any", {"a"}), DispatchTo("box-a")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "spam");
    EXPECT_EQ(log.LinesWith("WARNING CRuleSet::DispatchMessage(u): message header was not accepted by any rule, "
                            "dispatching message to spam mailbox").size(), 1u);
}

TEST_F(RulesetDispatch, AnEmptyRuleListSendsToSpamOrReturnsTheTrainingMailbox) {
    auto ruleset = Load("");
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA}), MessageFile()), "spam");
    EXPECT_EQ(log.LinesWith("message was not accepted by any rule").size(), 1u);
    CMessageHeader training = Header({kSubjectA});
    training.AddValue("x-ovrin-training-mailbox", "work");
    EXPECT_EQ(Dispatch(*ruleset, training), "work");
}

TEST_F(RulesetDispatch, MacrosInActionsComeFromEachMessageAndLeaveTheLiveRuleAlone) {
    RuleText rule{"by list", RegexMatch("x-list", "any", {".+"}), DispatchTo("{{x-list}}")};
    rule.applyHeader = true;
    auto ruleset = Load(Rule(rule));
    CMessageHeader first = Header({kSubjectA});
    first.AddValue("x-list", "alpha");
    CMessageHeader second = Header({kSubjectA});
    second.AddValue("x-list", "beta");
    EXPECT_EQ(Dispatch(*ruleset, first), "alpha");
    EXPECT_EQ(Dispatch(*ruleset, second), "beta");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/actions/action/@mailbox"), std::vector<std::string>{"{{x-list}}"});
}

TEST_F(RulesetDispatch, AMacroOfAMissingFieldNamesNoMailboxAndTheWalkGoesOn) {
    RuleText rule{"by list", AnyMatch(), DispatchTo("{{x-list}}")};
    rule.applyHeader = true;
    auto ruleset = Load(Rule(rule) + Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "rest");
}

TEST_F(RulesetDispatch, ContentsStopsTheHeaderPassAndIsIgnoredOnTheFilePass) {
    auto ruleset = Load(Rule({"wants body", AnyMatch(), DispatchTo("<contents>")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "<contents>");
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA}), MessageFile()), "rest");
}

TEST_F(RulesetDispatch, DeleteIsAnOrdinaryResult) {
    auto ruleset = Load(Rule({"drop", AnyMatch(), DispatchTo("<delete>")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "<delete>");
}

TEST_F(RulesetDispatch, ARuleExceptionSendsToSpamAndTheNextMessageIsUnaffected) {
    auto ruleset = Load(
        Rule({"explodes on boom", PythonMatch("if headers['subject'] == 'boom':\n    raise ValueError('bang')\n"),
              DispatchTo("never")}) +
        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    {
        LogCapture log;
        EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: boom"})), "spam");
        EXPECT_EQ(log.LinesWith("ERROR CRuleSet::DispatchMessage(u): exception caught when passing message header "
                                "to rule 'explodes on boom', dispatching message to spam mailbox").size(), 1u);
        EXPECT_FALSE(log.LinesWith("bang").empty());
    }
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: calm"})), "rest");
}

TEST_F(RulesetDispatch, SpecialDirectoriesAreRefused) {
    auto ruleset = Load(Rule({"to spool", RegexMatch("subject", "any", {"s"}), DispatchTo(".spool")}) +
                        Rule({"to raw", AnyMatch(), DispatchTo(".raw")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: s"})), "spam");
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    EXPECT_EQ(log.LinesWith("Rule \"to spool\" attempted to dispatch message to a special mailbox \".spool\"").size(), 1u);
    EXPECT_EQ(log.LinesWith("Rule \"to raw\" attempted to dispatch message to a special mailbox \".raw\"").size(), 1u);
}

// A sender's own header fields must not file a message outside the user's mailboxes.
TEST_F(RulesetDispatch, ResultsWithASlashOrANulByteAreRefusedLikeSpecialDirectories) {
    RuleText rule{"by list", AnyMatch(), DispatchTo("{{x-list}}")};
    rule.applyHeader = true;
    auto ruleset = Load(Rule(rule));
    LogCapture log;
    for (const std::string& evil : {std::string("../../other/mail"), std::string("mail/../../../tmp"),
                                    std::string("lists/sub"), std::string("/etc"), std::string("mail\0x", 6)}) {
        CMessageHeader header = Header({kSubjectA});
        header.AddValue("x-list", evil);
        EXPECT_EQ(Dispatch(*ruleset, header), "spam") << evil;
    }
    EXPECT_EQ(log.LinesWith("attempted to dispatch message to a special mailbox").size(), 5u);
    EXPECT_EQ(log.LinesWith("exception caught when passing message header to rule 'by list'").size(), 5u);
    CMessageHeader fine = Header({kSubjectA});
    fine.AddValue("x-list", "lists");
    EXPECT_EQ(Dispatch(*ruleset, fine), "lists");
}

TEST_F(RulesetDispatch, UnbalancedMacrosSendToSpamEvenWhileTheRuleIsDisabled) {
    RuleText rule{"broken {{subject", AnyMatch(), DispatchTo("never")};
    rule.enabled = false;
    rule.applyHeader = true;
    auto ruleset = Load(Rule(rule) + Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    EXPECT_EQ(log.LinesWith("to rule 'broken {{subject', dispatching message to spam mailbox").size(), 1u);
}

TEST_F(RulesetDispatch, AWalkThatNeverEndsIsCutAndSentToSpam) {
    // The second rule always matches and restarts the walk at the first one.
    auto ruleset = Load(Rule({"only a", RegexMatch("subject", "any", {"a"}), DispatchTo("box-a")}) +
                        Rule({"restart", AnyMatch(), RulesetAction("move-first")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "spam");
    auto cut = log.LinesWith("ERROR CRuleSet::DispatchMessage(u): exception caught when passing message header to rule");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_NE(cut[0].find("The walk through the rules did not end after 200 steps"), std::string::npos) << cut[0];
    EXPECT_NE(cut[0].find("to rule 'restart', dispatching"), std::string::npos) << cut[0];
    // The ruleset still works for messages that end their walk.
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: a"})), "box-a");
}

TEST_F(RulesetDispatch, AWalkThatGrowsTheListAtEveryTurnIsCutToo) {
    // Each turn appends a rule and restarts; the list grows with the walk.
    auto ruleset = Load(Rule({"only a", RegexMatch("subject", "any", {"a"}), DispatchTo("box-a")}) +
                        Rule({"grow and restart", AnyMatch(),
                              RulesetAction("insert-last", Rule({"filler", RegexMatch("subject", "any", {"a"}),
                                                                 DispatchTo("x")})) +
                                  RulesetAction("move-first")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "spam");
    EXPECT_EQ(log.LinesWith("The walk through the rules did not end after 200 steps").size(), 1u);
    EXPECT_EQ(ruleset->GetRuleCount(), 102u);
}

TEST_F(RulesetDispatch, MoveFirstInTheFirstRuleGoesOnWithTheNextRule) {
    // The walk only advances on its own when the position did not move; move-first on the
    // first rule leaves it where it was.
    auto ruleset = Load(Rule({"restart", AnyMatch(), RulesetAction("move-first")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "rest");
}

TEST_F(RulesetDispatch, TrainingRunsOnlyTrainableRulesAndReturnsTheTrainingMailbox) {
    RuleText learner{"learner", AnyMatch(),
                     RulesetAction("insert-first", Rule({"learned", RegexMatch("subject", "any", {"{{subject}}"}),
                                                         DispatchTo("{{x-ovrin-training-mailbox}}"), "", true, false,
                                                         "2037-12-31 23:59:59", true}))};
    learner.trainable = true;
    learner.applyHeader = true;
    auto ruleset = Load(Rule({"untrainable", AnyMatch(), DispatchTo("ordinary")}) + Rule(learner));
    CMessageHeader training = Header({"Subject: offer (50%)"});
    training.AddValue("x-ovrin-training-mailbox", "junk");
    EXPECT_EQ(Dispatch(*ruleset, training), "junk");
    EXPECT_EQ(ruleset->GetRuleCount(), 3u);
    // The learned rule files the same subject, with its metacharacters taken literally, first.
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: offer (50%)"})), "junk");
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: offer 50%"})), "ordinary");
}

TEST_F(RulesetDispatch, ADispatchInTrainingModeFailsTheWholeDispatch) {
    RuleText rule{"trainable dispatcher", AnyMatch(), DispatchTo("somewhere")};
    rule.trainable = true;
    auto ruleset = Load(Rule(rule));
    CMessageHeader training = Header({kSubjectA});
    training.AddValue("x-ovrin-training-mailbox", "junk");
    LogCapture log;
    try {
        Dispatch(*ruleset, training);
        ADD_FAILURE() << "no exception";
    } catch (const CMessageException& e) {
        EXPECT_STREQ(e.what(), "In training mode the ruleset should have come up with no result");
    }
    EXPECT_FALSE(log.LinesWith("to rule 'trainable dispatcher', dispatching message to spam mailbox: "
                               "An action returned non-empty mailbox name in training mode").empty());
}

TEST_F(RulesetDispatch, EveryHundredthDispatchOfTheRunIsLogged) {
    auto ruleset = Load(Rule({"all", AnyMatch(), DispatchTo("inbox")}));
    LogCapture log;
    for (int i = 0; i < 100; ++i)
        Dispatch(*ruleset, Header({kSubjectA}));
    auto lines = log.LinesWith("INFO Messages dispatched this run: ");
    ASSERT_EQ(lines.size(), 1u);
    std::string count = lines[0].substr(lines[0].rfind(' ') + 1);
    EXPECT_EQ(std::stoul(count) % 100, 0u) << lines[0];
}
