// The file check the manager runs before it writes a ruleset refuses exactly what the server's
// loader refuses, with the same reason.
#include "store/ruleset_check.h"

#include <gtest/gtest.h>

#include "server/rules/ruleset.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

class RulesetAcceptance : public RulesFixture {};

}  // namespace

TEST_F(RulesetAcceptance, TheFileCheckAndTheServerRefuseAlike) {
    const std::string dispatch = DispatchTo("mail");
    struct Case {
        std::string rules;
        std::string rule;    // the rule the file check names
        std::string reason;  // empty: accepted
    } cases[] = {
        {Rule({"fine", AnyMatch() + RegexMatch("subject;from", "all", {"x"}), dispatch + PythonAction("x = 1")}), "", ""},
        {Rule({"empty", AnyMatch(), ""}), "rule \"empty\"", "No actions under rule 'empty'"},
        {Rule({"m", "<match handler=\"Regex\"/>", dispatch}), "rule \"m\"", "Invalid match handler attribute: 'Regex'"},
        {Rule({"m", RegexMatch("", "any", {"x"}), dispatch}), "rule \"m\"",
         "Invalid or missing match attribute header-field-name"},
        {Rule({"m", RegexMatch(";;", "any", {"x"}), dispatch}), "rule \"m\"",
         "Invalid or empty match attribute header-field-name"},
        {Rule({"m", RegexMatch("subject", "ANY", {"x"}), dispatch}), "rule \"m\"",
         "Invalid or missing match attribute match-mode"},
        {Rule({"a", AnyMatch(), "<action handler=\"Dispatch\" mailbox=\"x\"/>"}), "rule \"a\"",
         "Invalid action handler attribute: 'Dispatch'"},
        {Rule({"a", AnyMatch(), "<action handler=\"dispatch\"/>"}), "rule \"a\"",
         "Invalid or missing action attribute mailbox"},
        {Rule({"a", AnyMatch(), RulesetAction("jump")}), "rule \"a\"", "Invalid ruleset action method: 'jump'"},
        {Rule({"a", AnyMatch(), RulesetAction("insert-last")}), "rule \"a\"", "No rule under ruleset action 'insert-last'"},
        {Rule({"outer", AnyMatch(), RulesetAction("insert-last", Rule({"inner", "", ""}))}),
         "rule \"inner\" inside rule \"outer\"", "No actions under rule 'inner'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        WriteWholeFile(RulesetPath(), RulesetFile(c.rules));
        LogCapture log;
        std::string server;
        try {
            CRuleSet ruleset("u");
        } catch (const CMessageException& e) {
            server = e.what();
        }
        EXPECT_EQ(server, c.reason);
        try {
            CheckRuleSetFile(RulesetPath(), UserDirectory() + "/ruleset.xsd");
            EXPECT_EQ(c.reason, "");
        } catch (const CRuleSetRefusal& refusal) {
            EXPECT_EQ(refusal.what(), c.reason);
            EXPECT_EQ(refusal.Rule(), c.rule);
        }
    }
}
