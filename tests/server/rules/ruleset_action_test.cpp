// Ruleset actions on a live dispatch walk: where inserted rules land and whether the same
// message meets them, deleting the current rule, moving the walk, and unknown references.
#include "server/rules/ruleset_action.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "server/rules/rule.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

const std::string kSubjectA = "Subject: a";

class RulesetActionWalk : public RulesFixture {
protected:
    // A template rule that files everything into the mailbox.
    static std::string Inserted(const std::string& mailbox) {
        return Rule({"inserted " + mailbox, AnyMatch(), DispatchTo(mailbox), "new-" + mailbox});
    }
};

}  // namespace

TEST_F(RulesetActionWalk, InsertAfterWithAnEmptyReferenceIsAppliedToTheSameMessageNext) {
    auto ruleset = Load(Rule({"inserter", RegexMatch("subject", "any", {"a"}),
                              RulesetAction("insert-after", Inserted("fresh"), "")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "fresh");
    EXPECT_EQ(ruleset->GetRuleCount(), 3u);
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"inserter", "inserted fresh", "rest"}));
    EXPECT_EQ(Saved("/ruleset/rules/rule[2]/@dispatched-messages"), std::vector<std::string>{"1"});
}

TEST_F(RulesetActionWalk, InsertBeforeAndAfterAReferencedRule) {
    auto ruleset = Load(Rule({"before", RegexMatch("subject", "any", {"b"}),
                              RulesetAction("insert-before", Inserted("x"), "target")}) +
                        Rule({"after", RegexMatch("subject", "any", {"a"}),
                              RulesetAction("insert-after", Inserted("y"), "target")}) +
                        Rule({"target", RegexMatch("subject", "any", {"never"}), DispatchTo("t"), "target"}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    // Inserted before the target, which the walk has not reached yet: the message meets it.
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "x");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"before", "after", "inserted x", "target", "rest"}));
    ruleset = Load();
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: a"})), "x");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"before", "after", "inserted x", "target", "inserted y", "rest"}));
}

TEST_F(RulesetActionWalk, InsertFirstIsNotAppliedUntilTheWalkMovesFirst) {
    auto ruleset = Load(Rule({"inserter", RegexMatch("subject", "any", {"a"}),
                              RulesetAction("insert-first", Inserted("top"))}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "rest");
    EXPECT_EQ(ruleset->GetRuleCount(), 3u);
    // The next message meets the inserted rule first.
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: z"})), "top");

    auto restarting = Load(Rule({"inserter", AnyMatch(),
                                 RulesetAction("insert-first", Inserted("top")) + RulesetAction("move-first")}) +
                           Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*restarting, Header({kSubjectA})), "top");
}

TEST_F(RulesetActionWalk, InsertLastAppendsToTheList) {
    auto ruleset = Load(Rule({"inserter", RegexMatch("subject", "any", {"a"}),
                              RulesetAction("insert-last", Inserted("bottom"))}) +
                        Rule({"only b", RegexMatch("subject", "any", {"b"}), DispatchTo("b")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "bottom");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"inserter", "only b", "inserted bottom"}));
}

TEST_F(RulesetActionWalk, EveryActivationInsertsItsOwnCopyOfTheTemplate) {
    RuleText inserter{"inserter", RegexMatch("subject", "any", {"learn .*"}),
                      RulesetAction("insert-last", Rule({"learned", RegexMatch("subject", "any", {"{{subject}}"}),
                                                         DispatchTo("learned"), "", true, false,
                                                         "2037-12-31 23:59:59", true}))};
    inserter.applyHeader = true;
    auto ruleset = Load(Rule(inserter) + Rule({"catch learn", RegexMatch("subject", "any", {"learn .*"}),
                                               DispatchTo("learning")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: learn one"})), "learning");
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: learn two"})), "learning");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/matches/match/regexes/regex/@pattern"),
              (std::vector<std::string>{"learn .*", "learn .*", "learn one", "learn two"}));
    // The template in the file still holds its macro.
    EXPECT_EQ(Saved("/ruleset/rules/rule[1]/actions/action/rule/matches/match/regexes/regex/@pattern"),
              std::vector<std::string>{"{{subject}}"});
}

TEST_F(RulesetActionWalk, DeleteCurrentRemovesTheRuleAndTheWalkContinuesWithTheNext) {
    auto ruleset = Load(Rule({"one shot", RegexMatch("subject", "any", {"a"}), RulesetAction("delete-current")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "rest");
    EXPECT_EQ(ruleset->GetRuleCount(), 1u);
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"), std::vector<std::string>{"rest"});
}

TEST_F(RulesetActionWalk, DeleteCurrentWithADispatchCountsTheFollowingRule) {
    auto ruleset = Load(Rule({"one shot", AnyMatch(), RulesetAction("delete-current") + DispatchTo("once")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "once");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), std::vector<std::string>{"1"});
}

TEST_F(RulesetActionWalk, MoveNextCountsTheDispatchForTheFollowingRule) {
    auto ruleset = Load(Rule({"skipper", AnyMatch(), RulesetAction("move-next") + DispatchTo("skipped-to")}) +
                        Rule({"next", AnyMatch(), DispatchTo("next")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "skipped-to");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@dispatched-messages"), (std::vector<std::string>{"0", "1"}));
}

TEST_F(RulesetActionWalk, MoveNextInTheLastRuleEndsTheWalkInSpam) {
    auto ruleset = Load(Rule({"skipper", AnyMatch(), RulesetAction("move-next") + DispatchTo("skipped-to")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    EXPECT_EQ(log.LinesWith("was not accepted by any rule").size(), 1u);
}

TEST_F(RulesetActionWalk, MoveNextWithoutADispatchContinuesWithTheNextRule) {
    auto ruleset = Load(Rule({"skipper", AnyMatch(), RulesetAction("move-next")}) +
                        Rule({"next", AnyMatch(), DispatchTo("next")}));
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "next");
}

TEST_F(RulesetActionWalk, MoveEndStopsTheWalkAndSendsToSpamEvenWithADispatch) {
    auto ruleset = Load(Rule({"stopper", RegexMatch("subject", "any", {"a"}),
                              RulesetAction("move-end") + DispatchTo("ignored")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    EXPECT_EQ(log.LinesWith("was not accepted by any rule").size(), 1u);
    EXPECT_EQ(Dispatch(*ruleset, Header({"Subject: b"})), "rest");
}

TEST_F(RulesetActionWalk, AnUnknownReferenceSendsToSpam) {
    auto ruleset = Load(Rule({"inserter", AnyMatch(), RulesetAction("insert-before", Inserted("x"), "nope")}) +
                        Rule({"rest", AnyMatch(), DispatchTo("rest")}));
    LogCapture log;
    EXPECT_EQ(Dispatch(*ruleset, Header({kSubjectA})), "spam");
    EXPECT_FALSE(log.LinesWith("to rule 'inserter', dispatching message to spam mailbox: "
                               "insert-before(nope) failed, rule id is not found in the ruleset").empty());
    EXPECT_EQ(ruleset->GetRuleCount(), 2u);
}

TEST_F(RulesetActionWalk, AReferenceMayComeFromTheHeader) {
    RuleText inserter{"inserter", AnyMatch(), RulesetAction("insert-after", Inserted("x"), "{{x-ref}}")};
    inserter.applyHeader = true;
    auto ruleset = Load(Rule(inserter) + Rule({"rest", AnyMatch(), DispatchTo("rest"), "rest-id"}));
    CMessageHeader header = Header({kSubjectA});
    header.AddValue("x-ref", "rest-id");
    EXPECT_EQ(Dispatch(*ruleset, header), "rest");
    ruleset.reset();
    EXPECT_EQ(Saved("/ruleset/rules/rule/@description"),
              (std::vector<std::string>{"inserter", "rest", "inserted x"}));
}

TEST_F(RulesetActionWalk, TheEightMethodsRoundTripByName) {
    for (const char* name : {"insert-first", "insert-before", "insert-after", "insert-last", "delete-current",
                             "move-first", "move-end", "move-next"})
        EXPECT_EQ(CRulesetAction::RulesetMethodToString(CRulesetAction::StringToRulesetMethod(name)), name);
    LogCapture log;
    EXPECT_THROW(CRulesetAction::StringToRulesetMethod("Move-First"), CMessageException);
    EXPECT_THROW(CRulesetAction::RulesetMethodToString(static_cast<CRulesetAction::CMethod>(8)), CMessageException);
}

TEST_F(RulesetActionWalk, ACloneNeverSharesTheTemplate) {
    xmlNodePtr element = Element("<action handler=\"ruleset\" method=\"insert-last\">" + Inserted("x") + "</action>",
                                 "/action");
    CActionPtr action = CAction::Create(element);
    CActionPtr clone = action->Clone();
    auto& original = static_cast<CRulesetAction&>(*action);
    auto& copy = static_cast<CRulesetAction&>(*clone);
    ASSERT_TRUE(original.GetTemplateRule() && copy.GetTemplateRule());
    EXPECT_NE(original.GetTemplateRule(), copy.GetTemplateRule());
    EXPECT_EQ(copy.GetTemplateRule()->GetDescription(), "inserted x");
}
