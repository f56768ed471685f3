// The templates the ruleset editor builds rules, matches and actions with. Where a kind has two,
// the first goes after the last element of its kind, the second into a rule that has none.
#pragma once

namespace Ovrin::RulesetTemplates {

#define OVRIN_NEW_RULE_STEPS                                                                          \
    "rule/@id=/@trainable=false/@description=New rule/@enabled=false/@expires={{x-ovrin-expires-never}}" \
    "/@apply-header=true/@dispatched-messages=0/matches/../actions/.."
#define OVRIN_SUBORDINATE_RULE_STEPS                                                                            \
    "rule/@id=/@trainable=false/@description=New subordinate rule/@expires={{x-ovrin-expires-never}}"           \
    "/@apply-header=true/@enabled=true/@dispatched-messages=0/matches/../actions/../.."

// Applied to the first rule of a non-empty list, to /ruleset/rules, and to a rule to follow.
inline constexpr const char* kRuleAtStart = "<" OVRIN_NEW_RULE_STEPS;
inline constexpr const char* kRuleIntoEmptyList = OVRIN_NEW_RULE_STEPS;
inline constexpr const char* kRuleAfter = ">" OVRIN_NEW_RULE_STEPS;

struct TPair {
    const char* caption;
    const char* afterLast;
    const char* intoRule;
};

inline constexpr TPair kMatches[] = {
    {"Match any message", ">match/@handler=any", "!matches/match/@handler=any"},
    {"Match message by header field value", ">match/@handler=regex/@header-field-name=/@match-mode=any/regexes/..",
     "!matches/match/@handler=regex/@header-field-name=/@match-mode=any/regexes/.."},
    {"Match message using Python script", ">match/@handler=python/script/..", "!matches/match/@handler=python/script/.."},
};

#define OVRIN_INSERT_ACTION(method, extra)                                                  \
    ">action/@handler=ruleset/@method=" method extra "/" OVRIN_SUBORDINATE_RULE_STEPS,      \
        "!actions/action/@handler=ruleset/@method=" method extra "/" OVRIN_SUBORDINATE_RULE_STEPS

inline constexpr TPair kActions[] = {
    {"Put message to the specified mailbox", ">action/@handler=dispatch/@mailbox=",
     "!actions/action/@handler=dispatch/@mailbox="},
    {"Process message using Python script", ">action/@handler=python/script=/..",
     "!actions/action/@handler=python/script=/.."},
    {"Insert new rule at the top", OVRIN_INSERT_ACTION("insert-first", "")},
    {"Insert new rule before this rule", OVRIN_INSERT_ACTION("insert-before", "/@reference=")},
    {"Insert new rule after this rule", OVRIN_INSERT_ACTION("insert-after", "/@reference=")},
    {"Insert new rule at the end", OVRIN_INSERT_ACTION("insert-last", "")},
    {"Skip to the next rule", ">action/@handler=ruleset/@method=move-next",
     "!actions/action/@handler=ruleset/@method=move-next"},
    {"Stop message processing", ">action/@handler=ruleset/@method=move-end",
     "!actions/action/@handler=ruleset/@method=move-end"},
    {"Restart message processing", ">action/@handler=ruleset/@method=move-first",
     "!actions/action/@handler=ruleset/@method=move-first"},
    {"Delete this rule", ">action/@handler=ruleset/@method=delete-current",
     "!actions/action/@handler=ruleset/@method=delete-current"},
};

#undef OVRIN_INSERT_ACTION
#undef OVRIN_SUBORDINATE_RULE_STEPS
#undef OVRIN_NEW_RULE_STEPS

}  // namespace Ovrin::RulesetTemplates
