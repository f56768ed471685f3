// The ruleset pool's instance.
#include "server/rules/ruleset_pool.h"

#include "server/core/config.h"

namespace Ovrin {

// A ruleset reads the configuration when it is released, so the configuration is made first
// and therefore outlives the pool.
CRuleSetPool& RuleSetPool() {
    Config();
    static CRuleSetPool instance;
    return instance;
}

}  // namespace Ovrin
