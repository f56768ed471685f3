// The process-wide pool of users' rulesets, by user name: a ruleset is loaded on first use and
// written back when the pool lets it go.
#pragma once

#include "server/core/lockable_pool.h"
#include "server/rules/ruleset.h"

namespace Ovrin {

using CRuleSetPool = CLockablePool<CRuleSet>;

CRuleSetPool& RuleSetPool();

}  // namespace Ovrin
